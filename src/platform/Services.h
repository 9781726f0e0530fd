#pragma once
// Windows services of the local machine: installed, running, stopped and started on request.
// Failures throw ServiceException with the system's error text.

#include "errors/Exceptions.h"
#include "text/Strings.h"

#include <windows.h>

#include <vector>

namespace Services
{
    // Whether the service can be opened (any failure to open it counts as not installed).
    // Throws "OpenSCManager() failed: %s".
    void IsInstalled(const String& name, bool& installed);

    // Whether the service's state is running (paused and pending states are not). Throws
    // "OpenSCManager() failed: %s", "OpenService() failed: %s", "QueryServiceStatus() failed: %s".
    void IsRunning(const String& name, bool& running);

    // Stops a running or paused service and waits while it reports "stop pending", for as long
    // as it advances its check point and then up to timeout milliseconds more. A service that is
    // not installed or already stopped is left alone. Throws, when the service is still not
    // stopped, "Could not stop service: <name>\nService state=<state>".
    void Stop(const String& name, DWORD timeout);

    // Starts a stopped service and waits while it reports "start pending", as Stop waits. A
    // service that already runs is left alone. Throws "OpenSCManager() failed: %s",
    // "OpenService() failed: %s", "StartService() failed: %s" or, when it does not reach the
    // running state, "Could not start service: <name>\nService state=<state>".
    void Start(const String& name, DWORD timeout);
}

// The services a restore stopped, started again in the reverse order unless the restore
// succeeded: every way out of a failed restore leaves them running as they were.
class StoppedServices
{
public:
    // timeout: Services::Stop's and Services::Start's wait without progress, in milliseconds.
    explicit StoppedServices(DWORD timeout) : m_timeout(timeout) {}
    StoppedServices(const StoppedServices&) = delete;
    StoppedServices& operator=(const StoppedServices&) = delete;
    // Restart unless dismissed; never throws.
    ~StoppedServices();

    // Stops the service when it runs and remembers it. Throws as Services::Stop does; a service
    // that did not stop is not remembered.
    void Stop(const String& name);

    // The restore succeeded: the services stay stopped.
    void Dismiss() noexcept { m_stopped.clear(); }

    // Starts every remembered service again, the last stopped first, and forgets them. Empty
    // when all of them run, else one line "Could not start <name> again: <text>" per service
    // that does not.
    String Restart() noexcept;

private:
    DWORD m_timeout;
    std::vector<String> m_stopped;
};
