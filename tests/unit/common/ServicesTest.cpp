#include "common/Services.h"

#include "common/ErrorText.h"
#include "common/LabProcess.h"

#include <gtest/gtest.h>

namespace
{
    // One service of labservice.exe per test, installed under a name of its own from a copy
    // whose executable name no other process has; removed before and after.
    class LabServiceTest : public testing::Test
    {
    protected:
        void SetUp() override
        {
            static int counter = 0;
            ++counter;
            m_name = Strings::Format(L"QmLabService%lu_%d", GetCurrentProcessId(), counter);
            m_exeName = Strings::Format(L"qmlab%lu_%d.exe", GetCurrentProcessId(), counter);
            m_program = LabBinaries::CopyProgram(LabBinaries::LabServiceProgram(), m_folder, m_exeName);
            ASSERT_FALSE(m_program.empty()) << "cannot copy " << Strings::ToUtf8(LabBinaries::LabServiceProgram());
            m_manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
            ASSERT_TRUE(m_manager) << "error " << GetLastError();
            Delete();
        }

        void TearDown() override
        {
            LabProcess::EnsureEnded(m_process);
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

        // Starts the service, waits until it runs and keeps a handle to its process.
        void Start()
        {
            ASSERT_TRUE(StartServiceW(m_service.get(), 0, nullptr)) << "StartService error " << GetLastError();
            ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 10000)) << "state " << State();
            SERVICE_STATUS_PROCESS status = {};
            DWORD needed = 0;
            ASSERT_TRUE(QueryServiceStatusEx(m_service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                             sizeof(status), &needed));
            m_process.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                        status.dwProcessId));
            ASSERT_TRUE(m_process) << "process " << status.dwProcessId;
        }

        void Pause()
        {
            SERVICE_STATUS status = {};
            ASSERT_TRUE(ControlService(m_service.get(), SERVICE_CONTROL_PAUSE, &status));
            ASSERT_TRUE(WaitForState(SERVICE_PAUSED, 5000)) << "state " << State();
        }

        DWORD State() const
        {
            SERVICE_STATUS status = {};
            return QueryServiceStatus(m_service.get(), &status) ? status.dwCurrentState : 0;
        }

        bool WaitForState(DWORD state, DWORD wait) const
        {
            const DWORD start = GetTickCount();
            while (State() != state)
            {
                if (LabProcess::Since(start) > wait)
                    return false;
                Sleep(50);
            }
            return true;
        }

        String StopMessage(DWORD timeout, const String& processName)
        {
            try
            {
                Services::Stop(m_name, timeout, processName);
            }
            catch (const ServiceException& error)
            {
                return error.GetMessage();
            }
            return L"(no exception)";
        }

        void Delete()
        {
            m_service.reset();
            UniqueServiceHandle existing(OpenServiceW(m_manager.get(), m_name.c_str(), DELETE));
            if (existing)
                DeleteService(existing.get());
        }

        ScratchDirectory m_folder{L"QmLabService"};
        String m_name;
        String m_exeName;
        String m_program;
        UniqueServiceHandle m_manager;
        UniqueServiceHandle m_service;
        UniqueKernelHandle m_process;
    };

    bool Installed(const String& name)
    {
        bool installed = true; // sentinel: a "not installed" answer must be written too
        Services::IsInstalled(name, installed);
        return installed;
    }

    bool Running(const String& name)
    {
        bool running = false;
        Services::IsRunning(name, running);
        return running;
    }
}

TEST_F(LabServiceTest, StopStopsARunningService)
{
    Install(L"prompt");
    Start();
    EXPECT_TRUE(Running(m_name));

    EXPECT_EQ(L"(no exception)", StopMessage(2000, L""));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
    EXPECT_FALSE(Running(m_name));
    ASSERT_TRUE(LabProcess::Ended(m_process, 5000));
    // Ended by itself (labservice's own exit code), not killed.
    EXPECT_EQ(5u, LabProcess::ExitCode(m_process));
}

TEST_F(LabServiceTest, StopStopsAPausedService)
{
    Install(L"prompt");
    Start();
    Pause();
    EXPECT_FALSE(Running(m_name));

    EXPECT_EQ(L"(no exception)", StopMessage(2000, L""));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
}

TEST_F(LabServiceTest, StopLeavesAServiceThatIsNotInstalledAlone)
{
    EXPECT_FALSE(Installed(m_name));
    // Not even the process fallback runs: a program of that name keeps running.
    UniqueKernelHandle bystander = LabProcess::StartProgram(m_program, L"sleep");
    ASSERT_TRUE(bystander);
    EXPECT_EQ(L"(no exception)", StopMessage(100, m_exeName));
    EXPECT_FALSE(LabProcess::Ended(bystander, 0));
    LabProcess::EnsureEnded(bystander);
}

TEST_F(LabServiceTest, StopOfAStoppedServiceSendsNoControlAndReturnsAtOnce)
{
    Install(L"prompt");
    EXPECT_TRUE(Installed(m_name));
    const DWORD start = GetTickCount();
    // A stop control to a stopped service would fail, and with it the call.
    EXPECT_EQ(L"(no exception)", StopMessage(100, L""));
    EXPECT_LT(LabProcess::Since(start), 900u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
}

TEST_F(LabServiceTest, StopWaitsPastTheTimeOutWhileTheServiceReportsProgress)
{
    Install(L"slow");
    Start();
    const DWORD start = GetTickCount();
    EXPECT_EQ(L"(no exception)", StopMessage(200, L""));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
    // The service needs about 2.5 s and advances its check point every 0.3 s.
    EXPECT_GE(LabProcess::Since(start), 2000u);
}

TEST_F(LabServiceTest, AServiceThatWillNotStopIsReportedWithItsState)
{
    Install(L"ignore");
    Start();
    const DWORD start = GetTickCount();
    EXPECT_EQ(Strings::Format(L"Could not stop service: %s\nService state=3", m_name.c_str()), StopMessage(200, L""));
    EXPECT_LT(LabProcess::Since(start), 3000u);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), State());
    EXPECT_FALSE(LabProcess::Ended(m_process, 0));
}

TEST_F(LabServiceTest, AServiceThatWillNotStopIsKilledByItsProcessName)
{
    Install(L"ignore");
    Start();
    // Given in another case: executable names are compared without case.
    EXPECT_EQ(L"(no exception)", StopMessage(200, Strings::ToUpper(m_exeName)));
    ASSERT_TRUE(LabProcess::Ended(m_process, 0));
    // Terminated, not ended by itself: the program never exits with 0 in this mode.
    EXPECT_EQ(0u, LabProcess::ExitCode(m_process));
    // Windows' control manager then reports the service stopped; Wine's leaves it stop-pending,
    // so the state is not checked here.
}

TEST_F(LabServiceTest, IsInstalledAndIsRunningFollowTheService)
{
    EXPECT_FALSE(Installed(m_name));
    Install(L"prompt");
    EXPECT_TRUE(Installed(m_name));
    EXPECT_FALSE(Running(m_name));
    Start();
    EXPECT_TRUE(Running(m_name));
    // Names of services are compared without case.
    EXPECT_TRUE(Running(Strings::ToUpper(m_name)));
    Delete();
    LabProcess::EnsureEnded(m_process);
    EXPECT_FALSE(Installed(m_name));
}

TEST_F(LabServiceTest, IsRunningOfAServiceThatIsNotInstalledThrows)
{
    try
    {
        bool running = true;
        Services::IsRunning(m_name, running);
        FAIL() << "no exception";
    }
    catch (const ServiceException& error)
    {
        EXPECT_EQ(L"OpenService() failed: " + ErrorText::Format(ERROR_SERVICE_DOES_NOT_EXIST), error.GetMessage());
        EXPECT_EQ(L"ServiceException ERROR: " + error.GetMessage(), error.GetDescription());
    }
}
