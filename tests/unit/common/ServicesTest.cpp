// Services and processes against copies of the lab programs under names of their own. How a
// restore stops and starts again the authority's services (a failed one, a successful one, one
// that ignores the stop) is driven in a lab machine (lab.certsrv); here, the states a restore
// there never meets and the process fallback.

#include "common/Processes.h"
#include "common/Services.h"

#include "common/ErrorText.h"
#include "common/LabProcess.h"

#include <gtest/gtest.h>

namespace
{
    class NativeQueryProcesses : public Processes
    {
    public:
        NativeQueryProcesses() : Processes(NativeQueryOnly{}) {}
    };

    class LabProgram : public testing::Test
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
            Lab::EnsureEnded(m_process);
            Lab::EnsureEnded(m_other);
        }

        ScratchDirectory m_folder;
        String m_exeName;
        String m_program;
        UniqueKernelHandle m_process;
        UniqueKernelHandle m_other;
    };

    // One service of labservice.exe per test, removed before and after.
    class LabService : public LabProgram
    {
    protected:
        void SetUp() override
        {
            m_program = Lab::CopyProgram(L"labservice.exe", m_folder, m_exeName);
            ASSERT_FALSE(m_program.empty()) << "cannot copy labservice.exe";
            m_name = L"QmLabService_" + m_exeName.substr(0, m_exeName.size() - 4);
            m_manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
            ASSERT_TRUE(m_manager) << "error " << GetLastError();
            Delete();
        }

        void TearDown() override
        {
            LabProgram::TearDown();
            Delete();
        }

        void Install(const wchar_t* mode)
        {
            const String commandLine = Strings::Format(L"\"%s\" %s %s", m_program.c_str(), mode, m_name.c_str());
            m_service.reset(CreateServiceW(m_manager.get(), m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                           commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
            ASSERT_TRUE(m_service) << "CreateService error " << GetLastError();
        }

        // Starts the service (or sends it a control), waits for the state that leads to, and
        // keeps a handle to its process.
        void Bring(DWORD control, DWORD state)
        {
            SERVICE_STATUS_PROCESS status = {};
            ASSERT_TRUE(control == 0 ? StartServiceW(m_service.get(), 0, nullptr)
                                     : ControlService(m_service.get(), control, reinterpret_cast<SERVICE_STATUS*>(&status)))
                << "error " << GetLastError();
            for (int polls = 0; State() != state && polls < 200; ++polls)
                Sleep(50);
            ASSERT_EQ(state, State());
            DWORD needed = 0;
            ASSERT_TRUE(QueryServiceStatusEx(m_service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                             sizeof(status), &needed));
            if (!m_process)
                m_process.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                            status.dwProcessId));
            ASSERT_TRUE(m_process);
        }

        DWORD State() const
        {
            SERVICE_STATUS status = {};
            QueryServiceStatus(m_service.get(), &status);
            return status.dwCurrentState;
        }

        String StopMessage(DWORD timeout, const String& processName = L"")
        {
            return MessageOf<ServiceException>([&] { Services::Stop(m_name, timeout, processName); });
        }

        // Both answers start from the opposite sentinel, so each must be written.
        bool Installed(bool installed = true) { Services::IsInstalled(m_name, installed); return installed; }
        bool Running(const String& name, bool running = true) { Services::IsRunning(name, running); return running; }

        void Delete()
        {
            m_service.reset(OpenServiceW(m_manager.get(), m_name.c_str(), DELETE));
            DeleteService(m_service.get());
            m_service.reset();
        }

        String m_name;
        UniqueServiceHandle m_manager;
        UniqueServiceHandle m_service;
    };
}

TEST_F(LabService, StopLeavesAMissingServiceAloneEndsARunningOrPausedOneAndSendsAStoppedOneNoControl)
{
    // Not installed: not even the process fallback runs, and nobody can ask whether it runs.
    EXPECT_FALSE(Installed());
    ASSERT_NO_FATAL_FAILURE(Start(L"labservice.exe", L"sleep", m_other));
    EXPECT_EQ(L"(nothing thrown)", StopMessage(100, m_exeName));
    EXPECT_FALSE(Lab::Ended(m_other, 0));
    EXPECT_EQ(L"OpenService() failed: " + ErrorText::Format(ERROR_SERVICE_DOES_NOT_EXIST),
              MessageOf<ServiceException>([&] { Running(m_name); }));

    Install(L"prompt");
    EXPECT_TRUE(Installed(false));
    EXPECT_FALSE(Running(m_name));
    // A stop control to a stopped service would fail, and with it the call.
    EXPECT_EQ(L"(nothing thrown)", StopMessage(100));

    Bring(0, SERVICE_RUNNING);
    EXPECT_TRUE(Running(Strings::ToUpper(m_name), false));
    Bring(SERVICE_CONTROL_PAUSE, SERVICE_PAUSED);
    EXPECT_FALSE(Running(m_name));
    EXPECT_EQ(L"(nothing thrown)", StopMessage(2000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
    ASSERT_TRUE(Lab::Ended(m_process, 5000));
    EXPECT_EQ(5u, Lab::ExitCode(m_process)) << "ended by itself, not killed";
}

TEST_F(LabService, StopWaitsPastTheTimeOutWhileTheServiceReportsProgress)
{
    // The service needs about 2.5 s and advances its check point every 0.3 s.
    Install(L"slow");
    Bring(0, SERVICE_RUNNING);
    EXPECT_EQ(L"(nothing thrown)", StopMessage(200));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
}

TEST_F(LabService, AServiceThatWillNotStopIsKilledByItsProcessName)
{
    Install(L"ignore");
    Bring(0, SERVICE_RUNNING);
    EXPECT_EQ(L"(nothing thrown)", StopMessage(200, Strings::ToUpper(m_exeName)));
    ASSERT_TRUE(Lab::Ended(m_process, 0));
    // Terminated: the program never exits with 0 in this mode by itself.
    EXPECT_EQ(0u, Lab::ExitCode(m_process));
}

TEST_F(LabProgram, KillTerminatesAProcessWithoutWindowsThroughEitherProcessList)
{
    Processes toolHelp;
    NativeQueryProcesses native;
    for (Processes* processes : {&toolHelp, static_cast<Processes*>(&native)})
    {
        ASSERT_NO_FATAL_FAILURE(Start(L"labservice.exe", L"sleep", m_process));
        // A name no process has, or one that only begins like the program's, does nothing.
        processes->Kill(L"qmnosuchprogram.exe");
        processes->Kill(m_exeName.substr(0, m_exeName.size() - 4));
        EXPECT_FALSE(Lab::Ended(m_process, 0));
        processes->Kill(Strings::ToUpper(m_exeName));
        ASSERT_TRUE(Lab::Ended(m_process, 2000));
        EXPECT_EQ(0u, Lab::ExitCode(m_process));
    }
}

TEST_F(LabProgram, KillAsksTheFirstProcessWithAWindowToClose)
{
    // Wine without an X server needs the prefix's HKCU\Software\Wine\Drivers Graphics=null.
    ASSERT_NO_FATAL_FAILURE(Start(L"labwindow.exe", nullptr, m_process));
    ASSERT_NO_FATAL_FAILURE(Start(L"labwindow.exe", nullptr, m_other));
    Processes().Kill(m_exeName);
    UniqueKernelHandle& ended = Lab::Ended(m_process, 2000) ? m_process : m_other;
    ASSERT_TRUE(Lab::Ended(ended, 0));
    EXPECT_EQ(7u, Lab::ExitCode(ended)) << "closed through its window";
    EXPECT_FALSE(Lab::Ended(&ended == &m_process ? m_other : m_process, 0)) << "only the first of that name is ended";
}
