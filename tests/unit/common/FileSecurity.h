#pragma once
// Shared by the tests of staged files: a file's security as SDDL, set from SDDL, and the SID of
// the account the test runs as.
//
// Wine keeps no descriptor for a file: it answers one made from the file's mode bits, and keeps
// of a list that it is given what those bits can hold (the owner's access, and everyone's).

#include "handles/Handles.h"
#include "text/Strings.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <vector>

namespace FileSecurity
{
    const SECURITY_INFORMATION Parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION;

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
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                         nullptr))
            << Strings::ToUtf8(sddl);
        return UniqueLocalMemory(descriptor);
    }

    // The owner, group and list of a file or folder as SDDL.
    inline String SddlOf(const String& path)
    {
        DWORD size = 0;
        GetFileSecurityW(path.c_str(), Parts, nullptr, 0, &size);
        std::vector<BYTE> descriptor(size + 1);
        if (!GetFileSecurityW(path.c_str(), Parts, descriptor.data(), static_cast<DWORD>(descriptor.size()), &size))
            return L"(unreadable)";
        return ToSddl(descriptor.data());
    }

    // Gives a file or folder the list of sddl ("D:...").
    inline void SetList(const String& path, const String& sddl)
    {
        const UniqueLocalMemory descriptor = FromSddl(sddl);
        ASSERT_TRUE(SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.get()))
            << Strings::ToUtf8(path);
    }

    inline bool GrantsEveryone(const String& sddl)
    {
        return sddl.find(L";;;WD)") != String::npos;
    }

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
