#include "ScratchDirectory.h"

#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"

#include <gtest/gtest.h>

ScratchDirectory::ScratchDirectory(const String& name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_path = Strings::Format(L"%sqmtest-%s-%lu", temp, name.c_str(), GetCurrentProcessId());
    Directories::Delete(m_path);
    if (!Directories::Create(m_path))
        ADD_FAILURE() << "cannot create scratch directory";
}

ScratchDirectory::ScratchDirectory()
    : ScratchDirectory(Strings::Format(L"%S.%S", testing::UnitTest::GetInstance()->current_test_info()->test_suite_name(),
                                       testing::UnitTest::GetInstance()->current_test_info()->name()))
{
}

ScratchDirectory::~ScratchDirectory()
{
    Directories::Delete(m_path);
}

void WriteTextFile(const String& path, const std::string& content)
{
    Directories::Create(Directories::GetDirectory(path, true));
    UniqueFileHandle file(CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << "cannot create " << Strings::ToUtf8(path);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
}

std::string ReadTextFile(const String& path)
{
    UniqueFileHandle file(CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (!file)
        return "<missing>";
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        content.append(buffer, read);
    return content;
}

bool IsDirectoryOnDisk(const String& path)
{
    const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFileOnDisk(const String& path)
{
    return GetFileAttributesW(Paths::ToLongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES && !IsDirectoryOnDisk(path);
}

String SystemErrorText(DWORD code)
{
    String text = Strings::Format(L"Error = 0x%08lX", code);
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    const UniqueLocalMemory owner(message);
    return message != nullptr && length > 0 ? text + L" " + String(message, length) : text;
}

std::string ElementOrder(const std::string& xml)
{
    std::string names;
    for (auto at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1))
    {
        const char next = at + 1 < xml.size() ? xml[at + 1] : '\0';
        if (next == '/' || next == '?' || next == '!')
            continue;
        names += (names.empty() ? "" : " ") + xml.substr(at + 1, xml.find_first_of(" \t\r\n/>", at + 1) - at - 1);
    }
    return names;
}
