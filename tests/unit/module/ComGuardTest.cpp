// The exception guard: every kind of exception ends in E_FAIL with a text, nothing escapes.

#include "module/ComGuard.h"

#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace
{
    String FailText() { return SystemErrorText(static_cast<DWORD>(E_FAIL)); }

    class ComGuardTest : public ::testing::Test
    {
    protected:
        void TearDown() override { SysFreeString(error); }

        String Text() const { return error ? String(error, SysStringLen(error)) : L"<null>"; }

        BSTR error = nullptr;
    };
}

TEST_F(ComGuardTest, ExceptionGivesHeaderDescriptionAndTheTextOfEFail)
{
    EXPECT_EQ(E_FAIL, ComGuard::Run(L"Restore", error, []() -> HRESULT {
                  throw RegistryServiceException(L"RegSaveKey(HKLM\\SAM) failed");
              }));
    EXPECT_EQ(L"An exception occurred in Restore:\nRegistryServiceException ERROR: RegSaveKey(HKLM\\SAM) failed\n" + FailText(),
              Text());

    // The base class describes itself by its message alone.
    EXPECT_EQ(E_FAIL, ComGuard::Run(L"Backup", error, []() -> HRESULT { throw TarnException::Exception(L"plain"); }));
    EXPECT_EQ(L"An exception occurred in Backup:\nplain\n" + FailText(), Text());
}

TEST_F(ComGuardTest, StandardExceptionsAreFailuresWithText)
{
    error = SysAllocString(L"earlier failure");
    EXPECT_EQ(E_FAIL, ComGuard::Run(L"Backup", error, []() -> HRESULT { throw std::bad_alloc(); }));
    EXPECT_EQ(L"An exception occurred in Backup:\nOut of memory.", Text());

    EXPECT_EQ(E_FAIL, ComGuard::Run(L"IsActiveDirectoryServiceOnline", error, []() -> HRESULT {
                  throw std::out_of_range("vector index 7");
              }));
    EXPECT_EQ(L"An exception occurred in IsActiveDirectoryServiceOnline:\nStandard library exception: vector index 7\n" +
                  FailText(),
              Text());
}

TEST_F(ComGuardTest, ExceptionsOutsideTheModuleTreeAreCaughtToo)
{
    EXPECT_EQ(E_FAIL, ComGuard::Run(L"Backup", error, []() -> HRESULT { throw Wow64Exception(L"IsWow64Process"); }));
    EXPECT_EQ(L"An exception occurred in Backup:\nWow64Exception ERROR: IsWow64Process\n" + FailText(), Text());

    EXPECT_EQ(E_FAIL, ComGuard::Run(L"Restore", error, []() -> HRESULT {
                  throw CWin32Exception(L"RegOpenKeyEx", ERROR_ACCESS_DENIED);
              }));
    EXPECT_EQ(0u, Text().find(L"An exception occurred in Restore:\nCWin32Exception ERROR: RegOpenKeyEx: ")) << Text().c_str();

    EXPECT_EQ(E_FAIL, ComGuard::Run(L"IsActiveDirectoryRestoreMode", error, []() -> HRESULT { throw 42; }));
    EXPECT_EQ(L"An exception occurred in IsActiveDirectoryRestoreMode:\nUnknown exception.\n" + FailText(), Text());
}
