#include "platform/OperatingSystem.h"

#include "handles/Handles.h"
#include "platform/Libraries.h"
#include "platform/Wow64.h"

#include <lm.h>

namespace
{
    // GetNodeClusterState's answer for a node whose cluster service is running.
    constexpr DWORD ClusterStateRunning = 19;

    using NetServerGetInfoFunction = DWORD(WINAPI*)(LPWSTR, DWORD, LPBYTE*);
    using NetApiBufferFreeFunction = DWORD(WINAPI*)(LPVOID);
    using GetNodeClusterStateFunction = DWORD(WINAPI*)(LPCWSTR, DWORD*);
}

OperatingSystem::OperatingSystem()
{
    ZeroMemory(&m_version, sizeof(m_version));
    m_version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&m_version)))
    {
        // Systems older than the extended record still fill the short one.
        m_version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&m_version));
    }

    if (m_version.dwPlatformId == VER_PLATFORM_WIN32_NT)
    {
        try
        {
            m_isWow64 = Wow64::IsWow64Process();
        }
        catch (...)
        {
            // Not knowing counts as "not WOW64": the probe itself never fails.
        }
        m_isVistaOrLater = m_version.dwMajorVersion >= 6;
    }
}

bool OperatingSystem::IsDomainController() const
{
    if (m_version.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return false;

    UniqueLibrary netapi(Libraries::LoadFromSystemFolder(L"netapi32.dll"));
    if (!netapi)
        return false;
    const auto netServerGetInfo = GetProc<NetServerGetInfoFunction>(netapi.get(), "NetServerGetInfo");
    const auto netApiBufferFree = GetProc<NetApiBufferFreeFunction>(netapi.get(), "NetApiBufferFree");
    if (netServerGetInfo == nullptr)
        return false;

    bool isDomainController = false;
    LPBYTE buffer = nullptr;
    if (netServerGetInfo(nullptr, 101, &buffer) == NERR_Success && buffer != nullptr)
    {
        const auto* info = reinterpret_cast<const SERVER_INFO_101*>(buffer);
        isDomainController = (info->sv101_type & (SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL)) != 0;
    }
    if (buffer != nullptr && netApiBufferFree != nullptr)
        netApiBufferFree(buffer);
    return isDomainController;
}

bool OperatingSystem::IsClusterNode() const
{
    UniqueLibrary clusapi(Libraries::LoadFromSystemFolder(L"clusapi.dll"));
    if (!clusapi)
        return false;
    const auto getNodeClusterState = GetProc<GetNodeClusterStateFunction>(clusapi.get(), "GetNodeClusterState");
    if (getNodeClusterState == nullptr)
        return false;
    DWORD state = 0;
    return getNodeClusterState(nullptr, &state) == ERROR_SUCCESS && state == ClusterStateRunning;
}

bool OperatingSystem::IsCertificateServicesInstalled(const String& server)
{
    if (server.empty())
        return false;
    UniqueServiceHandle manager(OpenSCManagerW(server.c_str(), nullptr, SC_MANAGER_CONNECT | GENERIC_READ));
    if (!manager)
        return false;
    UniqueServiceHandle service(OpenServiceW(manager.get(), L"CertSvc", GENERIC_READ));
    return static_cast<bool>(service);
}
