#pragma once
// What kind of machine this is: version, WOW64, and the roles that decide which components run.
// Every role query answers false when it cannot find out (library, entry point or call missing):
// a platform check that fails only skips a component.

#include "text/Strings.h"

#include <windows.h>

class OperatingSystem
{
public:
    // Reads the version record (falling back to the short record) and the WOW64 state.
    OperatingSystem();

    bool IsWorkstation() const { return m_version.wProductType == VER_NT_WORKSTATION; }
    bool IsWow64() const { return m_isWow64; }
    bool IsVistaOrLater() const { return m_isVistaOrLater; }
    const OSVERSIONINFOEXW& GetVersion() const { return m_version; }

    // NetServerGetInfo(101) of the local machine says primary or backup domain controller.
    // Asked afresh each time.
    bool IsDomainController() const;
    // The cluster service runs on this node (GetNodeClusterState answers 19).
    bool IsClusterNode() const;
    // The service "CertSvc" exists on the server; false for an empty name.
    static bool IsCertificateServicesInstalled(const String& server);

private:
    OSVERSIONINFOEXW m_version;
    bool m_isVistaOrLater = false;
    bool m_isWow64 = false;
};
