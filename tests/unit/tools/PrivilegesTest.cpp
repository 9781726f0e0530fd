// The tools' privilege helper against the test process's own token.

#include "privileges/Privileges.h"

#include "handles/Handles.h"

#include <gtest/gtest.h>

TEST(Privileges, EnableTurnsOnAHeldPrivilegeAndNamesWhatStopsIt)
{
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Privileges::Enable(SE_BACKUP_NAME));
    PRIVILEGE_SET wanted = {1, PRIVILEGE_SET_ALL_NECESSARY, {}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &wanted.Privilege[0].Luid));
    // The check takes an impersonation token: a copy of the process token is one.
    UniqueKernelHandle process, token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, process.put()));
    ASSERT_TRUE(DuplicateToken(process.get(), SecurityImpersonation, token.put()));
    BOOL enabled = FALSE;
    ASSERT_TRUE(PrivilegeCheck(token.get(), &wanted, &enabled));
    EXPECT_TRUE(enabled);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), Privileges::Enable(L"SeNoSuchPrivilege"));
}
