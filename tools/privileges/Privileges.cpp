#include "privileges/Privileges.h"

#include "handles/Handles.h"

DWORD Privileges::Enable(const wchar_t* name)
{
    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()))
        return GetLastError();
    TOKEN_PRIVILEGES change = {};
    change.PrivilegeCount = 1;
    change.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &change.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token.get(), FALSE, &change, 0, nullptr, nullptr))
        return GetLastError();
    // AdjustTokenPrivileges succeeds even when it changed nothing; only the last error tells.
    return GetLastError();
}
