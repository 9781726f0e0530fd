// The tools' privilege helper against the test process's own token.

#include "privileges/Privileges.h"

#include "common/Handles.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
    // Whether the process token has the privilege enabled now.
    bool IsEnabled(const wchar_t* name)
    {
        LUID wanted = {};
        if (!LookupPrivilegeValueW(nullptr, name, &wanted))
            return false;
        UniqueKernelHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
            return false;
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        if (!GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size))
            return false;
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
        {
            const LUID& luid = privileges->Privileges[i].Luid;
            if (luid.LowPart == wanted.LowPart && luid.HighPart == wanted.HighPart)
                return (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
        return false;
    }
}

TEST(Privileges, EnableTurnsOnAHeldPrivilegeAndNamesWhatStopsIt)
{
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Privileges::Enable(SE_BACKUP_NAME));
    EXPECT_TRUE(IsEnabled(SE_BACKUP_NAME));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), Privileges::Enable(L"SeNoSuchPrivilege"));
}
