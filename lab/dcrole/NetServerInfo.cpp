// NetServerGetInfo as a domain controller answers it: level 101 with the primary domain
// controller bit set. Other levels are refused, as a server that does not know them would.

#include <windows.h>
#include <lm.h>

#include <cstring>

extern "C" NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer)
{
    if (buffer != nullptr)
        HeapFree(GetProcessHeap(), 0, buffer);
    return NERR_Success;
}

extern "C" NET_API_STATUS WINAPI NetServerGetInfo(LMSTR server, DWORD level, LPBYTE* buffer)
{
    if (buffer == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (server != nullptr && server[0] != L'\0')
        return ERROR_BAD_NETPATH;
    if (level != 101)
        return ERROR_INVALID_LEVEL;

    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(name, &length);

    // One block: the record followed by the name it points to, freed by NetApiBufferFree.
    const size_t size = sizeof(SERVER_INFO_101) + (length + 1) * sizeof(wchar_t);
    auto* info = static_cast<SERVER_INFO_101*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (info == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* copy = reinterpret_cast<wchar_t*>(info + 1);
    std::memcpy(copy, name, (length + 1) * sizeof(wchar_t));
    info->sv101_platform_id = PLATFORM_ID_NT;
    info->sv101_name = copy;
    info->sv101_version_major = 5;
    info->sv101_version_minor = 2;
    info->sv101_type = SV_TYPE_WORKSTATION | SV_TYPE_SERVER | SV_TYPE_DOMAIN_CTRL | SV_TYPE_TIME_SOURCE | SV_TYPE_NT;
    info->sv101_comment = copy + length;
    *buffer = reinterpret_cast<LPBYTE>(info);
    return NERR_Success;
}
