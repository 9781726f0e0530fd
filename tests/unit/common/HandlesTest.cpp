#include "common/Handles.h"

#include <gtest/gtest.h>

TEST(UniqueHandle, ClosesOnceAndKeepsTheCallersLastError)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, raw);
    {
        UniqueKernelHandle owner(raw);
        UniqueKernelHandle moved(std::move(owner));
        EXPECT_FALSE(owner);
        EXPECT_EQ(raw, moved.get());
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    // The handle is gone: a wait on it fails instead of timing out.
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(raw, 0));
}

TEST(UniqueHandle, FileOwnerTreatsInvalidHandleValueAsEmpty)
{
    UniqueFileHandle file(CreateFileW(L"Z:\\no\\such\\dir\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file);
    EXPECT_EQ(INVALID_HANDLE_VALUE, file.release());
}
