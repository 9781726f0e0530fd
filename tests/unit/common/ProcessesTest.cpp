#include "common/Processes.h"

#include "common/LabProcess.h"

#include <gtest/gtest.h>

namespace
{
    // The same object restricted to the native process list, as on systems without tool-help.
    class NativeQueryProcesses : public Processes
    {
    public:
        NativeQueryProcesses() : Processes(NativeQueryOnly{}) {}
    };

    // Copies of a lab program under a name of their own, run as plain programs.
    class ProcessesTest : public testing::Test
    {
    protected:
        void Start(const wchar_t* exe, const wchar_t* mode, UniqueKernelHandle& process)
        {
            if (m_program.empty())
                m_program = Lab::CopyProgram(exe, m_folder, m_exeName);
            process = Lab::StartProgram(m_program, mode);
            ASSERT_TRUE(process) << "cannot start " << Strings::ToUtf8(m_program);
            ASSERT_FALSE(Lab::Ended(process, 0)) << "exit code " << Lab::ExitCode(process);
        }

        void TearDown() override
        {
            Lab::EnsureEnded(m_first);
            Lab::EnsureEnded(m_second);
        }

        ScratchDirectory m_folder;
        String m_exeName;
        String m_program;
        UniqueKernelHandle m_first;
        UniqueKernelHandle m_second;
    };
}

TEST_F(ProcessesTest, KillTerminatesAProcessWithoutWindowsThroughEitherProcessList)
{
    Processes toolHelp;
    NativeQueryProcesses native;
    for (Processes* processes : {&toolHelp, static_cast<Processes*>(&native)})
    {
        Start(L"labservice.exe", L"sleep", m_first);
        if (HasFatalFailure())
            return;
        // A name no process has, or one that only begins like the program's, does nothing.
        processes->Kill(L"qmnosuchprogram.exe");
        processes->Kill(m_exeName.substr(0, m_exeName.size() - 4));
        EXPECT_FALSE(Lab::Ended(m_first, 0));
        // Executable names are compared without case; without a window there is nothing to ask.
        processes->Kill(Strings::ToUpper(m_exeName));
        ASSERT_TRUE(Lab::Ended(m_first, 2000));
        EXPECT_EQ(0u, Lab::ExitCode(m_first));
    }
}

TEST_F(ProcessesTest, KillAsksTheFirstProcessWithAWindowToClose)
{
    // Wine without an X server needs the prefix's HKCU\Software\Wine\Drivers Graphics=null.
    Start(L"labwindow.exe", nullptr, m_first);
    Start(L"labwindow.exe", nullptr, m_second);
    if (HasFatalFailure())
        return;
    Processes().Kill(m_exeName);
    UniqueKernelHandle& ended = Lab::Ended(m_first, 2000) ? m_first : m_second;
    ASSERT_TRUE(Lab::Ended(ended, 0));
    EXPECT_EQ(7u, Lab::ExitCode(ended)) << "closed through its window";
    EXPECT_FALSE(Lab::Ended(&ended == &m_first ? m_second : m_first, 0)) << "only the first of that name is ended";
}
