// Services against a copy of the lab service program under a name of its own. How a restore
// stops and starts again the authority's services (running, stopped, not installed, one that
// ignores the stop) is driven in a lab machine (lab.certsrv); here, a stop that takes its time
// and the answers for a service that is not there.

#include "platform/Services.h"

#include "errors/ErrorText.h"
#include "common/LabProcess.h"

#include <gtest/gtest.h>

namespace
{
    // One service of labservice.exe per test, removed before and after.
    class LabService : public testing::Test
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
            SERVICE_STATUS status = {};
            ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status);
            Delete();
        }

        // Installed and running.
        void Run(const wchar_t* mode)
        {
            const String commandLine = Strings::Format(L"\"%s\" %s %s", m_program.c_str(), mode, m_name.c_str());
            m_service.reset(CreateServiceW(m_manager.get(), m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                           commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
            ASSERT_TRUE(m_service) << "CreateService error " << GetLastError();
            ASSERT_TRUE(StartServiceW(m_service.get(), 0, nullptr)) << "error " << GetLastError();
            for (int polls = 0; State() != SERVICE_RUNNING && polls < 200; ++polls)
                Sleep(50);
            ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State());
        }

        DWORD State() const
        {
            SERVICE_STATUS status = {};
            QueryServiceStatus(m_service.get(), &status);
            return status.dwCurrentState;
        }

        void Delete()
        {
            m_service.reset(OpenServiceW(m_manager.get(), m_name.c_str(), DELETE));
            DeleteService(m_service.get());
            m_service.reset();
        }

        ScratchDirectory m_folder;
        String m_exeName;
        String m_program;
        String m_name;
        UniqueServiceHandle m_manager;
        UniqueServiceHandle m_service;
    };
}

TEST_F(LabService, AMissingServiceIsNotInstalledAndCannotBeAskedWhetherItRuns)
{
    // The answer starts from the opposite sentinel, so it must be written.
    bool installed = true;
    Services::IsInstalled(m_name, installed);
    EXPECT_FALSE(installed);
    bool running = false;
    EXPECT_EQ(L"OpenService() failed: " + ErrorText::Format(ERROR_SERVICE_DOES_NOT_EXIST),
              MessageOf<ServiceException>([&] { Services::IsRunning(m_name, running); }));
}

TEST_F(LabService, StopWaitsPastTheTimeOutWhileTheServiceReportsProgress)
{
    // The service needs about 2.5 s and advances its check point every 0.3 s.
    Run(L"slow");
    EXPECT_EQ(L"(nothing thrown)", MessageOf<ServiceException>([&] { Services::Stop(m_name, 200); }));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
}
