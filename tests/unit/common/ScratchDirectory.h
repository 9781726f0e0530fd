#pragma once
// Shared by the unit and COM tests (and bringing the test framework): a private folder, file helpers,
// the texts a test compares, security as SDDL, and the programs built beside the tests.

#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "text/Strings.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

// "Suite.Name" of the running test.
inline String TestName()
{
    const testing::TestInfo* const test = testing::UnitTest::GetInstance()->current_test_info();
    return Strings::Format(L"%S.%S", test->test_suite_name(), test->name());
}

// Named after the test (or the name given) and the process, emptied before use and removed afterwards.
class ScratchDirectory
{
public:
    explicit ScratchDirectory(const String& name)
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_path = Strings::Format(L"%sqmtest-%s-%lu", temp, name.c_str(), GetCurrentProcessId());
        Directories::Delete(m_path);
        EXPECT_TRUE(Directories::Create(m_path)) << "cannot create scratch directory";
    }
    ScratchDirectory() : ScratchDirectory(TestName()) {}
    ~ScratchDirectory() { Directories::Delete(m_path); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const String& Path() const { return m_path; } // without a trailing backslash
    String operator/(const String& relative) const { return m_path + L'\\' + relative; }

private:
    String m_path;
};

// stem and this process's id: a name (of a key, a device, a variable) no other test process uses.
inline String Unique(const wchar_t* stem) { return Strings::Format(L"%s%lu", stem, GetCurrentProcessId()); }

// Through the long form, so deep paths work; a missing file reads as "<missing>".
inline void WriteTextFile(const String& path, const std::string& content)
{
    Directories::Create(Directories::GetDirectory(path, true));
    UniqueFileHandle file(CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << "cannot create " << Strings::ToUtf8(path);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
}
inline std::string ReadTextFile(const String& path)
{
    UniqueFileHandle file(CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (!file)
        return "<missing>";
    std::string content;
    char buffer[4096];
    for (DWORD read = 0; ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0;)
        content.append(buffer, read);
    return content;
}
inline bool IsDirectoryOnDisk(const String& path)
{
    const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
inline bool IsFileOnDisk(const String& path)
{
    return GetFileAttributesW(Paths::ToLongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES && !IsDirectoryOnDisk(path);
}

// The exception of this type that `call` throws, if it throws one, and its message ("(nothing
// thrown)" when it throws none).
template <typename ExceptionType, typename Call>
std::optional<ExceptionType> Thrown(Call call)
{
    try
    {
        call();
    }
    catch (const ExceptionType& error)
    {
        return error;
    }
    return std::nullopt;
}
template <typename ExceptionType, typename Call>
String MessageOf(Call call)
{
    const std::optional<ExceptionType> error = Thrown<ExceptionType>(call);
    return error ? error->GetMessage() : L"(nothing thrown)";
}

// "Error = 0x%08lX" of the code, and a blank and the system's own text when FormatMessageW has one.
inline String SystemErrorText(DWORD code)
{
    wchar_t* message = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    const UniqueLocalMemory owner(message);
    return Strings::Format(L"Error = 0x%08lX", code) + (length > 0 ? L" " + String(message, length) : L"");
}

// Names of the start tags of an XML text in order, read without the DOM that wrote it.
inline std::string ElementOrder(const std::string& xml)
{
    std::string names;
    for (auto at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1))
        if (at + 1 < xml.size() && xml[at + 1] != '/' && xml[at + 1] != '?' && xml[at + 1] != '!')
            names += (names.empty() ? "" : " ") + xml.substr(at + 1, xml.find_first_of(" \t\r\n/>", at + 1) - at - 1);
    return names;
}

// A file's or key's security as SDDL, set from SDDL, and the SID of the account the test runs as.
// Wine keeps no descriptor for a file: it answers one made from the file's mode bits, and keeps of
// a list that it is given what those bits can hold (the owner's access, and everyone's).
namespace FileSecurity
{
    const DWORD Parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

    inline String ToSddl(PSECURITY_DESCRIPTOR descriptor)
    {
        wchar_t* text = nullptr;
        if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, Parts, &text, nullptr))
            return L"(not convertible)";
        const UniqueLocalMemory owner(text);
        return text;
    }
    // A descriptor from SDDL, in a block that the caller owns.
    inline UniqueLocalMemory FromSddl(const String& sddl)
    {
        PSECURITY_DESCRIPTOR made = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &made, nullptr))
            << Strings::ToUtf8(sddl);
        return UniqueLocalMemory(made);
    }
    // The owner, group and list of a file or folder as SDDL.
    inline String SddlOf(const String& path)
    {
        std::vector<BYTE> descriptor(1 << 16); // the largest a list can be
        DWORD size = 0;
        return GetFileSecurityW(path.c_str(), Parts, descriptor.data(), static_cast<DWORD>(descriptor.size()), &size)
                   ? ToSddl(descriptor.data()) : L"(unreadable)";
    }
    // Gives a file or folder the list of sddl ("D:...").
    inline void SetList(const String& path, const String& sddl)
    {
        ASSERT_TRUE(SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, FromSddl(sddl).get()))
            << Strings::ToUtf8(path);
    }
    inline bool GrantsEveryone(const String& sddl) { return sddl.find(L";;;WD)") != String::npos; }
    inline String UserSid()
    {
        UniqueKernelHandle token;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put());
        BYTE buffer[512];
        DWORD size = 0;
        wchar_t* text = nullptr;
        if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) ||
            !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
            return L"(unknown)";
        const UniqueLocalMemory owner(text);
        return text;
    }
}

// The programs and modules built beside the test programs, and copies of the lab programs.
namespace Lab
{
    // A path relative to the folder of the running test program (the build tree's "tests").
    inline String BesideTests(const String& relative)
    {
        wchar_t exe[MAX_PATH] = {};
        const String program(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
        return Paths::GetFullPath(program.substr(0, program.rfind(L'\\') + 1) + relative);
    }
    inline String MountManagerFolder() { return BesideTests(L"..\\src\\mountmanager"); }
    // Copies a lab program to `copy`; false when it cannot.
    inline bool CopyProgram(const wchar_t* exe, const String& copy)
    {
        return CopyFileW(BesideTests(String(L"..\\lab\\labservice\\") + exe).c_str(), copy.c_str(), FALSE);
    }
}
