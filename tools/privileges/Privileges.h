#pragma once
// Enabling a privilege the process token already holds (the registry's save, load and replace
// calls, for one, refuse with 1314 until SeBackupPrivilege and SeRestorePrivilege are enabled).

#include <windows.h>

namespace Privileges
{
    // Enables the named privilege (SE_BACKUP_NAME, ...) in the process token for the rest of the
    // process's life. Returns ERROR_SUCCESS, or the Win32 error that stopped it:
    // ERROR_NOT_ALL_ASSIGNED when the token does not hold the privilege. Never throws.
    DWORD Enable(const wchar_t* name);
}
