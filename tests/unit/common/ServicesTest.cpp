// Services and processes against copies of the lab programs under names of their own.

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
            // A second service of the test (see Second), stopped however the test ended.
            if (m_second)
            {
                SERVICE_STATUS status = {};
                ControlService(m_second.get(), SERVICE_CONTROL_STOP, &status);
                DeleteService(m_second.get());
                m_second.reset();
            }
        }

        // A second service of the same program that stops as soon as it is asked to, running.
        String Second()
        {
            const String name = m_name + L"_second";
            const String commandLine = Strings::Format(L"\"%s\" prompt %s", m_program.c_str(), name.c_str());
            m_second.reset(CreateServiceW(m_manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                          commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
            EXPECT_TRUE(m_second) << "CreateService error " << GetLastError();
            EXPECT_TRUE(StartServiceW(m_second.get(), 0, nullptr)) << "error " << GetLastError();
            for (int polls = 0; StateOf(m_second) != SERVICE_RUNNING && polls < 200; ++polls)
                Sleep(50);
            return name;
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

        DWORD State() const { return StateOf(m_service); }

        static DWORD StateOf(const UniqueServiceHandle& service)
        {
            SERVICE_STATUS status = {};
            QueryServiceStatus(service.get(), &status);
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
        UniqueServiceHandle m_second;
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

TEST_F(LabService, AServiceThatWillNotStopIsReportedOrKilledByItsProcessName)
{
    Install(L"ignore");
    Bring(0, SERVICE_RUNNING);
    EXPECT_EQ(Strings::Format(L"Could not stop service: %s\nService state=3", m_name.c_str()), StopMessage(200));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), State());
    EXPECT_FALSE(Lab::Ended(m_process, 0));

    EXPECT_EQ(L"(nothing thrown)", StopMessage(200, Strings::ToUpper(m_exeName)));
    ASSERT_TRUE(Lab::Ended(m_process, 0));
    // Terminated: the program never exits with 0 in this mode by itself.
    EXPECT_EQ(0u, Lab::ExitCode(m_process));
}

TEST_F(LabService, StartWaitsForTheRunningStateAndLeavesARunningServiceAlone)
{
    Install(L"prompt");
    EXPECT_NO_THROW(Services::Start(m_name, 2000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State());
    EXPECT_NO_THROW(Services::Start(m_name, 2000));
    EXPECT_EQ(L"(nothing thrown)", StopMessage(2000));
    EXPECT_EQ(Strings::Format(L"OpenService() failed: %s", ErrorText::Format(ERROR_SERVICE_DOES_NOT_EXIST).c_str()),
              MessageOf<ServiceException>([&] { Services::Start(m_name + L"_missing", 2000); }));
}

TEST_F(LabService, StoppedServicesAreStartedAgainUnlessTheRestoreSucceeded)
{
    Install(L"prompt");
    Bring(0, SERVICE_RUNNING);
    {
        StoppedServices stopped(2000);
        stopped.Stop(m_name);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State()) << "started again on the way out";
    {
        StoppedServices stopped(2000);
        stopped.Stop(m_name);
        stopped.Dismiss();
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State()) << "a restore that succeeded leaves it stopped";
    {
        // Not running: nothing to stop, nothing to start again.
        StoppedServices stopped(2000);
        stopped.Stop(m_name);
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
}

TEST_F(LabService, AServiceThatIgnoresTheStopFailsAfterTheTimeOutAndTheOthersStartAgain)
{
    Install(L"ignore");
    Bring(0, SERVICE_RUNNING);
    const String second = Second();
    String message;
    DWORD waited = 0;
    {
        StoppedServices stopped(1500);
        stopped.Stop(second);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), StateOf(m_second));
        const DWORD start = GetTickCount();
        message = MessageOf<ServiceException>([&] { stopped.Stop(m_name); });
        waited = GetTickCount() - start;
    }
    EXPECT_EQ(Strings::Format(L"Could not stop service: %s\nService state=3", m_name.c_str()), message);
    // The time-out counts from the stop request (the service's one check point): bounded.
    EXPECT_GE(waited, 1500u);
    EXPECT_LT(waited, 6000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), StateOf(m_second)) << "the service stopped first runs again";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), State());
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
