// The platform probe against what the system itself reports.

#include "module/OperatingSystem.h"

#include "common/Handles.h"

#include <gtest/gtest.h>

TEST(OperatingSystemProbe, VersionRecordIsTheSystemsOwn)
{
    OSVERSIONINFOEXW expected = {};
    expected.dwOSVersionInfoSize = sizeof(expected);
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&expected)));

    const OperatingSystem system;
    EXPECT_EQ(284u, system.GetVersion().dwOSVersionInfoSize);
    EXPECT_EQ(expected.dwMajorVersion, system.GetVersion().dwMajorVersion);
    EXPECT_EQ(expected.dwMinorVersion, system.GetVersion().dwMinorVersion);
    EXPECT_EQ(expected.dwBuildNumber, system.GetVersion().dwBuildNumber);
    EXPECT_EQ(expected.wProductType, system.GetVersion().wProductType);
    EXPECT_EQ(expected.wProductType == VER_NT_WORKSTATION, system.IsWorkstation());
    EXPECT_EQ(expected.dwMajorVersion >= 6, system.IsVistaOrLater());

    BOOL wow64 = TRUE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64 != FALSE, system.IsWow64());
}

TEST(OperatingSystemProbe, RolesThisMachineDoesNotHave)
{
    // Wine's NetServerGetInfo answers a plain workstation and its cluster API "not installed".
    const OperatingSystem system;
    EXPECT_FALSE(system.IsDomainController());
    EXPECT_FALSE(system.IsClusterNode());
}

TEST(OperatingSystemProbe, CertificateServicesNeedsANamedServerWithTheService)
{
    EXPECT_FALSE(OperatingSystem::IsCertificateServicesInstalled(L""));

    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(name, &size));

    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    UniqueServiceHandle existing(OpenServiceW(manager.get(), L"CertSvc", SERVICE_ALL_ACCESS));
    if (!existing)
    {
        EXPECT_FALSE(OperatingSystem::IsCertificateServicesInstalled(name));

        // A service by that name is all the check looks for.
        UniqueServiceHandle created(CreateServiceW(manager.get(), L"CertSvc", L"Certificate Services (test)",
                                                   SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                   SERVICE_ERROR_IGNORE, L"C:\\windows\\system32\\certsrv.exe", nullptr,
                                                   nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(created) << GetLastError();
        EXPECT_TRUE(OperatingSystem::IsCertificateServicesInstalled(name));
        DeleteService(created.get());
    }
    else
    {
        EXPECT_TRUE(OperatingSystem::IsCertificateServicesInstalled(name));
    }
}
