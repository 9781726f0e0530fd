#pragma once
// What a process that asks VSS for a backup or restore must do first: VSS writers live in other
// processes and call back into the requestor's, so the process must accept their calls.

#include <windows.h>

namespace VssHost
{
    // Sets the process's COM security so that writers can call back: packet privacy, identify-level
    // impersonation, any caller. Call once, on a thread in a COM apartment, before anything in the
    // process marshals an interface. S_OK, or RPC_E_TOO_LATE when the process's security was set
    // already (by its host; writers can call back only if that setting allows them), or the failure.
    HRESULT AllowWriterCallbacks();
}
