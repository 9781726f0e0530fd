#include "platform/Processes.h"

#include "errors/Failure.h"

#include <winternl.h>

#include <cstdio>

namespace
{
    constexpr DWORD SynchronizeAndTerminate = SYNCHRONIZE | PROCESS_TERMINATE;
    constexpr DWORD CloseGracePeriod = 5000;
    constexpr ULONG SystemProcessList = 5;
    constexpr LONG StatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    constexpr ULONG InitialProcessListBytes = 32768;

    String ExecutableName(const wchar_t* path)
    {
        const wchar_t* lastBackslash = wcsrchr(path, L'\\');
        return lastBackslash != nullptr ? String(lastBackslash + 1) : String(path);
    }

    BOOL CALLBACK AskToClose(HWND window, LPARAM processId)
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == static_cast<DWORD>(processId))
            PostMessageW(window, WM_CLOSE, 0, 0);
        return TRUE;
    }

    // Opens a process that denied the caller terminate rights, with the debug privilege enabled
    // for that one call and put back as it was.
    UniqueKernelHandle OpenWithDebugPrivilege(DWORD processId)
    {
        OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof(version);
        if (!GetVersionExW(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT)
            throw ProcessesException(L"Not running on a Windows NT platform");

        // An impersonating thread acts with its own token; otherwise the process token counts.
        UniqueKernelHandle token;
        const DWORD tokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
        if (!OpenThreadToken(GetCurrentThread(), tokenAccess, FALSE, token.put()))
        {
            if (GetLastError() != ERROR_NO_TOKEN)
                Failure::ThrowLastError<ProcessesException>(L"OpenThreadToken failed: %s");
            if (!OpenProcessToken(GetCurrentProcess(), tokenAccess, token.put()))
                Failure::ThrowLastError<ProcessesException>(L"OpenProcessToken failed: %s");
        }

        TOKEN_PRIVILEGES debug = {};
        debug.PrivilegeCount = 1;
        debug.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        TOKEN_PRIVILEGES previous = {};
        DWORD previousSize = sizeof(previous);
        if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &debug.Privileges[0].Luid) ||
            !AdjustTokenPrivileges(token.get(), FALSE, &debug, sizeof(debug), &previous, &previousSize))
        {
            const DWORD error = GetLastError();
            token.reset();
            Failure::ThrowCode<ProcessesException>(error, L"AdjustTokenPrivileges failed: %s");
        }
        // Success with "not all assigned" means the token does not hold the privilege at all.
        if (GetLastError() == ERROR_NOT_ALL_ASSIGNED)
        {
            token.reset();
            Failure::ThrowCode<ProcessesException>(ERROR_NOT_ALL_ASSIGNED,
                                                   L"AdjustTokenPrivileges (SE_DEBUG_NAME) failed: %s");
        }

        UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
        const DWORD openError = GetLastError();
        AdjustTokenPrivileges(token.get(), FALSE, &previous, previousSize, nullptr, nullptr);
        token.reset();
        if (!process)
            Failure::ThrowCode<ProcessesException>(openError, L"OpenProcess failed: %s.");
        return process;
    }
}

Processes::Processes()
    : m_kernel32(LoadLibraryW(L"Kernel32"))
{
    m_createSnapshot = GetProc<CreateToolhelp32SnapshotProc>(m_kernel32.get(), "CreateToolhelp32Snapshot");
    m_processFirst = GetProc<Process32Proc>(m_kernel32.get(), "Process32FirstW");
    m_processNext = GetProc<Process32Proc>(m_kernel32.get(), "Process32NextW");
    if (!HasToolHelp())
        ResolveNativeQuery();
}

Processes::Processes(NativeQueryOnly)
    : m_kernel32(LoadLibraryW(L"Kernel32"))
{
    ResolveNativeQuery();
}

void Processes::ResolveNativeQuery()
{
    m_ntdll.reset(LoadLibraryW(L"ntdll.dll"));
    m_querySystemInformation = GetProc<QuerySystemInformationProc>(m_ntdll.get(), "ZwQuerySystemInformation");
    m_getProcessHeap = GetProc<GetProcessHeapProc>(m_kernel32.get(), "GetProcessHeap");
    m_heapAlloc = GetProc<HeapAllocProc>(m_kernel32.get(), "HeapAlloc");
    m_heapFree = GetProc<HeapFreeProc>(m_kernel32.get(), "HeapFree");
}

bool Processes::HasToolHelp() const
{
    return m_createSnapshot != nullptr && m_processFirst != nullptr && m_processNext != nullptr;
}

bool Processes::HasNativeQuery() const
{
    return m_querySystemInformation != nullptr && m_getProcessHeap != nullptr && m_heapAlloc != nullptr &&
           m_heapFree != nullptr;
}

bool Processes::FindWithToolHelp(const String& name, UniqueKernelHandle& process, DWORD& processId) const
{
    UniqueFileHandle snapshot(m_createSnapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = m_processFirst(snapshot.get(), &entry); more; more = m_processNext(snapshot.get(), &entry))
    {
        if (Strings::EqualsNoCase(ExecutableName(entry.szExeFile), name))
        {
            processId = entry.th32ProcessID;
            process.reset(OpenProcess(SynchronizeAndTerminate, TRUE, processId));
            return true;
        }
    }
    return false;
}

bool Processes::FindWithNativeQuery(const String& name, UniqueKernelHandle& process, DWORD& processId) const
{
    const HANDLE heap = m_getProcessHeap();
    ULONG size = InitialProcessListBytes;
    void* list = nullptr;
    LONG status = 0;
    for (;;)
    {
        list = m_heapAlloc(heap, 0, size);
        if (list == nullptr)
        {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        status = m_querySystemInformation(SystemProcessList, list, size, nullptr);
        if (status != StatusInfoLengthMismatch)
            break;
        m_heapFree(heap, 0, list);
        size *= 2;
    }

    bool found = false;
    if (status >= 0)
    {
        const BYTE* at = static_cast<const BYTE*>(list);
        for (;;)
        {
            const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(at);
            // The idle process is the one entry without an image name.
            const String image = entry->ImageName.Buffer != nullptr && entry->ImageName.Length > 0
                                     ? String(entry->ImageName.Buffer, entry->ImageName.Length / sizeof(wchar_t))
                                     : String(L"Idle");
            if (Strings::EqualsNoCase(image, name))
            {
                processId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId));
                process.reset(OpenProcess(SynchronizeAndTerminate, TRUE, processId));
                found = true;
                break;
            }
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
    }
    m_heapFree(heap, 0, list);
    return found;
}

void Processes::Kill(const String& name)
{
    if (!m_kernel32)
        return;

    UniqueKernelHandle process;
    DWORD processId = 0;
    bool found = false;
    if (HasToolHelp())
        found = FindWithToolHelp(name, process, processId);
    else if (HasNativeQuery())
        found = FindWithNativeQuery(name, process, processId);
    else
    {
        std::fputs("ToolHelp or NT API not found!\n", stdout);
        return;
    }
    if (!found)
        return;

    EnumWindows(AskToClose, static_cast<LPARAM>(processId));
    // A process that could not be opened for waiting is not waited for; the terminate path
    // below then decides whether it can be ended at all.
    if (process && WaitForSingleObject(process.get(), CloseGracePeriod) == WAIT_OBJECT_0)
        return;

    UniqueKernelHandle terminator(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (!terminator)
    {
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED)
            Failure::ThrowCode<ProcessesException>(error, L"OpenProcess failed: %s");
        terminator = OpenWithDebugPrivilege(processId);
    }
    if (!TerminateProcess(terminator.get(), 0))
        Failure::ThrowLastError<ProcessesException>(L"TerminateProcess failed: %s.");
}
