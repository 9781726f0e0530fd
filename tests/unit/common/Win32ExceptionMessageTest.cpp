#include "common/Exceptions.h"

#include "ScratchDirectory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{
    // The system's text alone, as GetErrorMessage gives it.
    String SystemText(DWORD code)
    {
        const String full = SystemErrorText(code);
        const String prefix = Strings::Format(L"Error = 0x%08lX ", static_cast<unsigned long>(code));
        return full.compare(0, prefix.size(), prefix) == 0 ? full.substr(prefix.size()) : String();
    }
}

TEST(Win32ExceptionMessage, ALaterMessageLeavesAnEarlierOneAlone)
{
    const CWin32Exception denied(L"RegOpenKeyEx", ERROR_ACCESS_DENIED);
    const CWin32Exception missing(L"RegOpenKeyEx", ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(SystemText(ERROR_ACCESS_DENIED).empty());
    ASSERT_NE(SystemText(ERROR_ACCESS_DENIED), SystemText(ERROR_FILE_NOT_FOUND));

    const auto first = denied.GetErrorMessage();
    const auto second = missing.GetErrorMessage();
    EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED), String(first));
    EXPECT_EQ(SystemText(ERROR_FILE_NOT_FOUND), String(second));
}

TEST(Win32ExceptionMessage, ThreadsDescribingAtOnceEachGetTheirOwnText)
{
    const DWORD codes[] = {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY};
    std::vector<String> expected;
    for (DWORD code : codes)
        expected.push_back(SystemText(code));

    // Every thread starts at once and formats its own code again and again; a text shared by
    // the process would hand some of them another thread's message.
    std::atomic<int> ready{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    const int count = static_cast<int>(std::size(codes));
    for (int i = 0; i < count; ++i)
    {
        threads.emplace_back([&, i] {
            const CWin32Exception error(L"Worker", codes[i]);
            ++ready;
            while (ready < count)
                SwitchToThread();
            for (int round = 0; round < 20000; ++round)
            {
                const String text = error.GetErrorMessage();
                if (text != expected[static_cast<size_t>(i)])
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
}
