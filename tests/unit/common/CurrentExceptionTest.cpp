// A thread's start routine turns whatever its work throws into a failure text instead of ending
// the process; the work runs here on a thread of its own, as the routines run it.

#include "common/CurrentException.h"
#include "common/Exceptions.h"
#include "common/Handles.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace
{
    struct Outcome
    {
        void (*work)();
        bool finished = true;
        String failure = L"(untouched)";
    };

    DWORD WINAPI StartRoutine(void* parameter) noexcept
    {
        auto& outcome = *static_cast<Outcome*>(parameter);
        outcome.finished = CurrentException::Guarded(outcome.work, outcome.failure);
        return 0;
    }

    Outcome RunOnThread(void (*work)())
    {
        Outcome outcome;
        outcome.work = work;
        UniqueKernelHandle thread(CreateThread(nullptr, 0, &StartRoutine, &outcome, 0, nullptr));
        EXPECT_TRUE(thread);
        if (thread)
        {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
        }
        return outcome;
    }
}

TEST(CurrentException, AnythingAWorkerThrowsBecomesItsFailureText)
{
    const struct
    {
        void (*work)();
        const wchar_t* failure;
    } cases[] = {
        {[] { throw FileSystemException(L"Directories::Create(x) failed"); },
         L"FileSystemException ERROR: Directories::Create(x) failed"},
        {[] { throw Wow64Exception(L"IsWow64Process"); }, L"Wow64Exception ERROR: IsWow64Process"},
        {[] { throw std::bad_alloc(); }, L"Out of memory."},
        {[] { throw std::runtime_error("vector too long"); }, L"Standard library exception: vector too long"},
        {[] { throw 42; }, L"Unknown exception."},
    };
    for (const auto& each : cases)
    {
        const Outcome outcome = RunOnThread(each.work);
        EXPECT_FALSE(outcome.finished) << Strings::ToUtf8(each.failure);
        EXPECT_EQ(String(each.failure), outcome.failure);
    }
    const Outcome fine = RunOnThread([] {});
    EXPECT_TRUE(fine.finished);
    EXPECT_EQ(L"(untouched)", fine.failure);
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
