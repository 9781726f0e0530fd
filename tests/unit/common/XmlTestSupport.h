#pragma once
// Scratch folders and raw file access for the manifest tests: each test works in its own
// folder below %TEMP%, wiped before use and after.

#include "common/Strings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace XmlTestSupport
{
    inline void DeleteTree(const String& path)
    {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE)
        {
            do
            {
                const String name = data.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const String child = path + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    DeleteTree(child);
                else
                {
                    SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(child.c_str());
                }
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(path.c_str());
    }

    // A folder named after the running test, empty at the start and removed at the end.
    class ScratchFolder
    {
    public:
        ScratchFolder()
        {
            wchar_t temp[MAX_PATH + 1];
            const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
            const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
            m_path = String(temp, length) +
                     Strings::Format(L"qmxml-%S-%S-%lu", test->test_suite_name(), test->name(), GetCurrentProcessId());
            DeleteTree(m_path);
            CreateDirectoryW(m_path.c_str(), nullptr);
        }
        ~ScratchFolder() { DeleteTree(m_path); }
        ScratchFolder(const ScratchFolder&) = delete;
        ScratchFolder& operator=(const ScratchFolder&) = delete;

        const String& Path() const { return m_path; }
        String operator/(const String& name) const { return m_path + L"\\" + name; }

    private:
        String m_path;
    };

    // The file's bytes; empty when it cannot be read.
    inline std::string ReadFileBytes(const String& path)
    {
        std::string bytes;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return bytes;
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            bytes.append(buffer, read);
        CloseHandle(file);
        return bytes;
    }

    inline void WriteFileBytes(const String& path, const std::string& bytes)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot create " << Strings::ToUtf8(path);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        CloseHandle(file);
        ASSERT_EQ(bytes.size(), written);
    }

    inline bool FileExists(const String& path)
    {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    inline bool DirectoryExists(const String& path)
    {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    // Names of the start tags in the order they appear in the text: a check of the document
    // on disk that does not go through the DOM that wrote it.
    inline std::string ElementOrder(const std::string& xml)
    {
        std::string names;
        for (std::string::size_type i = xml.find('<'); i != std::string::npos; i = xml.find('<', i + 1))
        {
            const char next = i + 1 < xml.size() ? xml[i + 1] : '\0';
            if (next == '/' || next == '?' || next == '!')
                continue;
            std::string::size_type end = xml.find_first_of(" \t\r\n/>", i + 1);
            if (!names.empty())
                names += ' ';
            names += xml.substr(i + 1, end - i - 1);
        }
        return names;
    }
}
