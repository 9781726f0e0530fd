#include "common/Processes.h"

#include "common/LabProcess.h"

#include <gtest/gtest.h>

namespace
{
    constexpr DWORD ClosedThroughItsWindow = 7;

    // The same object restricted to the native process list, as on systems without tool-help.
    class NativeQueryProcesses : public Processes
    {
    public:
        NativeQueryProcesses() : Processes(NativeQueryOnly{}) {}
    };

    // Copies of labservice.exe under names of their own, run as plain programs.
    class ProcessesTest : public testing::Test
    {
    protected:
        void SetUp() override
        {
            static int counter = 0;
            ++counter;
            m_exeName = Strings::Format(L"qmproc%lu_%d.exe", GetCurrentProcessId(), counter);
            m_program = LabBinaries::CopyProgram(Source(), m_folder, m_exeName);
            ASSERT_FALSE(m_program.empty()) << "cannot copy " << Strings::ToUtf8(Source());
        }

        void TearDown() override { LabProcess::EnsureEnded(m_process); }

        virtual String Source() const { return LabBinaries::LabServiceProgram(); }

        void Run(const wchar_t* mode)
        {
            m_process = LabProcess::StartProgram(m_program, mode);
            ASSERT_TRUE(m_process) << "cannot start " << Strings::ToUtf8(m_program);
            ASSERT_FALSE(LabProcess::Ended(m_process, 0)) << "exit code " << LabProcess::ExitCode(m_process);
        }



        template <typename Killer>
        String KillMessage(Killer& killer, const String& name)
        {
            try
            {
                killer.Kill(name);
            }
            catch (const ProcessesException& error)
            {
                return error.GetMessage();
            }
            return L"(no exception)";
        }

        ScratchDirectory m_folder{L"QmProcesses"};
        String m_exeName;
        String m_program;
        UniqueKernelHandle m_process;
    };

    // The same with the program showing a top-level window, started before each test.
    class ProcessesWindowTest : public ProcessesTest
    {
    protected:
        void SetUp() override
        {
            ProcessesTest::SetUp();
            if (HasFatalFailure())
                return;
            m_process = LabProcess::StartProgram(m_program, nullptr);
            ASSERT_TRUE(m_process);
            if (LabProcess::Ended(m_process, 0) && LabProcess::ExitCode(m_process) == LabProcess::NoWindowExitCode)
                GTEST_SKIP() << "no window can be created here (Wine without an X server needs the prefix's "
                                "HKCU\\Software\\Wine\\Drivers Graphics=null)";
            ASSERT_FALSE(LabProcess::Ended(m_process, 0)) << "exit code " << LabProcess::ExitCode(m_process);
        }

        String Source() const override { return LabBinaries::LabWindowProgram(); }
    };
}

TEST_F(ProcessesTest, KillOfANameNoProcessHasDoesNothing)
{
    Run(L"sleep");
    Processes processes;
    EXPECT_EQ(L"(no exception)", KillMessage(processes, L"qmnosuchprogram.exe"));
    // Nor does a name that only begins like the program's.
    EXPECT_EQ(L"(no exception)", KillMessage(processes, m_exeName.substr(0, m_exeName.size() - 4)));
    EXPECT_FALSE(LabProcess::Ended(m_process, 0));

    NativeQueryProcesses native;
    EXPECT_EQ(L"(no exception)", KillMessage(native, L"qmnosuchprogram.exe"));
    EXPECT_FALSE(LabProcess::Ended(m_process, 0));
}

TEST_F(ProcessesWindowTest, KillAsksAProcessWithAWindowToClose)
{
    Processes processes;
    const DWORD start = GetTickCount();
    EXPECT_EQ(L"(no exception)", KillMessage(processes, Strings::ToUpper(m_exeName)));
    ASSERT_TRUE(LabProcess::Ended(m_process, 0));
    EXPECT_EQ(ClosedThroughItsWindow, LabProcess::ExitCode(m_process));
    // It closed within the grace period, so nothing waited it out.
    EXPECT_LT(LabProcess::Since(start), 4500u);
}

TEST_F(ProcessesTest, KillTerminatesAProcessWithoutWindowsAfterTheGracePeriod)
{
    Run(L"sleep");
    Processes processes;
    const DWORD start = GetTickCount();
    EXPECT_EQ(L"(no exception)", KillMessage(processes, m_exeName));
    ASSERT_TRUE(LabProcess::Ended(m_process, 2000));
    EXPECT_EQ(0u, LabProcess::ExitCode(m_process));
    EXPECT_GE(LabProcess::Since(start), 4900u);
}

TEST_F(ProcessesTest, TheNativeProcessListFindsAndTerminatesTheProcessToo)
{
    Run(L"sleep");
    NativeQueryProcesses native;
    EXPECT_EQ(L"(no exception)", KillMessage(native, Strings::ToUpper(m_exeName)));
    ASSERT_TRUE(LabProcess::Ended(m_process, 2000));
    EXPECT_EQ(0u, LabProcess::ExitCode(m_process));
}

TEST_F(ProcessesWindowTest, KillEndsOnlyTheFirstProcessOfThatName)
{
    UniqueKernelHandle second = LabProcess::StartProgram(m_program, nullptr);
    ASSERT_TRUE(second);
    ASSERT_FALSE(LabProcess::Ended(second, 0));
    Processes processes;
    processes.Kill(m_exeName);
    const int ended = (LabProcess::Ended(m_process, 2000) ? 1 : 0) + (LabProcess::Ended(second, 0) ? 1 : 0);
    EXPECT_EQ(1, ended);
    LabProcess::EnsureEnded(second);
}
