#include "bootfiles/ShellFileOperation.h"

#include "handles/Handles.h"

namespace
{
    // Each path followed by a null, and one more null after the last.
    String DoubleNullList(const StringList& paths)
    {
        String list;
        for (const String& path : paths)
        {
            list += path;
            list += L'\0';
        }
        list += L'\0';
        return list;
    }
}

ShellFileOperation::ShellFileOperation()
{
    ZeroMemory(&m_operation, sizeof m_operation);
}

bool ShellFileOperation::AddSource(const String& path) noexcept
{
    try
    {
        m_sources.push_back(path);
        return true;
    }
    catch (...)
    {
        return false;
    }
}

bool ShellFileOperation::AddDestination(const String& path) noexcept
{
    try
    {
        m_destinations.push_back(path);
        return true;
    }
    catch (...)
    {
        return false;
    }
}

void ShellFileOperation::SetFlags(UINT function, HWND window, bool silent, bool allowUndo, bool filesOnly,
                                  bool noConfirmation, bool noConfirmationForNewDirectories, bool renameOnCollision,
                                  bool simpleProgress)
{
    m_operation.wFunc = function;
    m_operation.hwnd = window;
    FILEOP_FLAGS flags = 0;
    if (silent)
        flags |= FOF_SILENT;
    if (allowUndo)
        flags |= FOF_ALLOWUNDO;
    if (filesOnly)
        flags |= FOF_FILESONLY;
    if (noConfirmation)
        flags |= FOF_NOCONFIRMATION;
    if (noConfirmationForNewDirectories)
        flags |= FOF_NOCONFIRMMKDIR;
    if (renameOnCollision)
        flags |= FOF_RENAMEONCOLLISION;
    if (simpleProgress)
        flags |= FOF_SIMPLEPROGRESS;
    m_operation.fFlags = flags;
    m_flagsSet = true;
}

bool ShellFileOperation::Run(bool* started, int* result, bool* anyAborted)
{
    m_started = false;
    if (started != nullptr)
        *started = false;

    const UINT function = m_operation.wFunc;
    if (!m_flagsSet || function < FO_MOVE || function > FO_RENAME || m_sources.empty())
        return false;
    if (function != FO_DELETE && m_destinations.size() != 1 && m_destinations.size() != m_sources.size())
        return false;

    using Operation = int(WINAPI*)(LPSHFILEOPSTRUCTW);
    const UniqueLibrary shell32(LoadLibraryW(L"shell32.dll"));
    const auto shellFileOperation = GetProc<Operation>(shell32.get(), "SHFileOperationW");
    if (shellFileOperation == nullptr)
        return false;

    const String from = DoubleNullList(m_sources);
    const String to = function == FO_DELETE ? String() : DoubleNullList(m_destinations);
    m_operation.pFrom = from.c_str();
    m_operation.pTo = function == FO_DELETE ? nullptr : to.c_str();
    if (m_destinations.size() > 1)
        m_operation.fFlags |= FOF_MULTIDESTFILES;
    m_operation.lpszProgressTitle = m_title.c_str();

    m_started = true;
    if (started != nullptr)
        *started = true;
    const int answer = shellFileOperation(&m_operation);
    if (result != nullptr)
        *result = answer;
    if (anyAborted != nullptr)
        *anyAborted = m_operation.fAnyOperationsAborted != FALSE;
    m_operation.pFrom = nullptr;
    m_operation.pTo = nullptr;
    return answer == 0;
}
