// A worker's guard turns whatever its work throws into a failure text instead of ending the
// process. The text of each kind of exception is shown through the module's guard (ComGuardTest).

#include "errors/CurrentException.h"
#include "errors/Exceptions.h"

#include <gtest/gtest.h>

#include <new>

TEST(CurrentException, AnythingAWorkerThrowsBecomesItsFailureText)
{
    String failure = L"(untouched)";
    EXPECT_TRUE(CurrentException::Guarded([] {}, failure));
    EXPECT_EQ(L"(untouched)", failure);
    EXPECT_FALSE(CurrentException::Guarded([] { throw FileSystemException(L"Directories::Create(x) failed"); }, failure));
    EXPECT_EQ(L"FileSystemException ERROR: Directories::Create(x) failed", failure);
    EXPECT_FALSE(CurrentException::Guarded([] { throw std::bad_alloc(); }, failure));
    EXPECT_EQ(L"Out of memory.", failure);
    EXPECT_FALSE(CurrentException::Guarded([] { throw 42; }, failure));
    EXPECT_EQ(L"Unknown exception.", failure);
}

// A caller reporting an HRESULT tells memory exhaustion by the empty text, not by the code: a
// Win32 failure can carry the same code and still has its own text.
TEST(CurrentException, OnlyRealMemoryExhaustionLeavesTheTextToTheCaller)
{
    const auto describe = [](void (*work)()) {
        try
        {
            work();
        }
        catch (...)
        {
            return CurrentException::Describe();
        }
        return CurrentException::Failure{S_OK, L"(nothing thrown)"};
    };
    const CurrentException::Failure win32 = describe([] { throw CWin32Exception(L"HeapAlloc", ERROR_OUTOFMEMORY); });
    EXPECT_EQ(E_OUTOFMEMORY, win32.code);
    EXPECT_EQ(L"CWin32Exception ERROR: HeapAlloc: " + CWin32Exception(L"", ERROR_OUTOFMEMORY).GetErrorMessage(), win32.text);
    const CurrentException::Failure exhausted = describe([] { throw std::bad_alloc(); });
    EXPECT_EQ(E_OUTOFMEMORY, exhausted.code);
    EXPECT_EQ(L"", exhausted.text);
}
