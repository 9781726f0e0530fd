// Services against a copy of the lab service program under a name of its own. How a restore
// stops and starts again the authority's services (running, stopped, not installed, one that
// ignores the stop) is driven in a lab machine (lab.certsrv); here, a stop that takes its time
// and the answers for a service that is not there.

#include "platform/Services.h"

#include "errors/ErrorText.h"
#include "common/ScratchDirectory.h"
#include "handles/Handles.h"

TEST(Services, AMissingServiceIsNotInstalledAndCannotBeAskedWhetherItRuns)
{
    const String name = Unique(L"QmNoSuchService");
    // The answer starts from the opposite sentinel, so it must be written.
    bool installed = true;
    Services::IsInstalled(name, installed);
    EXPECT_FALSE(installed);
    bool running = false;
    EXPECT_EQ(L"OpenService() failed: " + ErrorText::Format(ERROR_SERVICE_DOES_NOT_EXIST),
              MessageOf<ServiceException>([&] { Services::IsRunning(name, running); }));
}

// The service needs about 2.5 s to stop and advances its check point every 0.3 s.
TEST(Services, StopWaitsPastTheTimeOutWhileTheServiceReportsProgress)
{
    ScratchDirectory folder;
    const String name = Unique(L"QmLabService_"), program = folder / (name + L".exe");
    ASSERT_TRUE(Lab::CopyProgram(L"labservice.exe", program)) << "cannot copy labservice.exe";
    const String commandLine = Strings::Format(L"\"%s\" slow %s", program.c_str(), name.c_str());
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const UniqueServiceHandle service(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                                     commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << "CreateService error " << GetLastError();
    SERVICE_STATUS status = {};
    const auto state = [&] { return QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0; };
    if (StartServiceW(service.get(), 0, nullptr))
        for (int polls = 0; state() != SERVICE_RUNNING && polls < 200; ++polls)
            Sleep(50);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), state());
    EXPECT_EQ(L"(nothing thrown)", MessageOf<ServiceException>([&] { Services::Stop(name, 200); }));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), state());
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    DeleteService(service.get());
}
