#pragma once
// Windows services of the local machine: installed, running, and stopped on request. Failures
// throw ServiceException with the system's error text; Stop's fallback may throw
// ProcessesException.

#include "common/Exceptions.h"
#include "common/Strings.h"

#include <windows.h>

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
    // not installed or already stopped is left alone. When the service is still not stopped,
    // the process processName is killed, or, with an empty processName, throws
    // "Could not stop service: <name>\nService state=<state>".
    void Stop(const String& name, DWORD timeout, const String& processName);
}
