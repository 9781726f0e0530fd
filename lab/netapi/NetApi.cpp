// The lab's network API. NetServerGetInfo answers level 101 as a domain controller where the dc
// role set HKLM\Software\Lab "DomainController", as a member server elsewhere. Shares are files
// C:\lab\shares\<name> holding the share's record, so a test reads which shares exist and what
// they point at; Wine has no server service to keep them.

#include <windows.h>
#include <lm.h>

#include <cstring>
#include <string>

namespace
{
    const wchar_t* const SharesFolder = L"C:\\lab\\shares";

    bool IsDomainController()
    {
        DWORD value = 0;
        DWORD size = sizeof(value);
        return RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Lab", L"DomainController", RRF_RT_REG_DWORD, nullptr,
                            &value, &size) == ERROR_SUCCESS &&
               value != 0;
    }

    bool IsLocal(const wchar_t* server)
    {
        return server == nullptr || server[0] == L'\0';
    }

    std::string ToUtf8(const wchar_t* text)
    {
        if (text == nullptr)
            return "null";
        const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
        std::string result(length > 0 ? static_cast<size_t>(length) : 1, '\0');
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], length, nullptr, nullptr);
        result.resize(result.size() - 1);
        return result;
    }

    bool ValidShareName(const wchar_t* name)
    {
        return name != nullptr && name[0] != L'\0' && std::wcspbrk(name, L"\\/:*?\"<>|") == nullptr;
    }
}

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
    if (!IsLocal(server))
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
    info->sv101_type = SV_TYPE_WORKSTATION | SV_TYPE_SERVER | SV_TYPE_NT |
                       (IsDomainController() ? SV_TYPE_DOMAIN_CTRL | SV_TYPE_TIME_SOURCE : SV_TYPE_SERVER_NT);
    info->sv101_comment = copy + length;
    *buffer = reinterpret_cast<LPBYTE>(info);
    return NERR_Success;
}

// Level 2 only. The share's file holds its record, one "field=value" line each.
extern "C" NET_API_STATUS WINAPI NetShareAdd(LMSTR server, DWORD level, LPBYTE buffer, LPDWORD badParameter)
{
    if (!IsLocal(server))
        return ERROR_BAD_NETPATH;
    if (level != 2)
        return ERROR_INVALID_LEVEL;
    const auto* share = reinterpret_cast<const SHARE_INFO_2*>(buffer);
    if (share == nullptr || !ValidShareName(share->shi2_netname))
    {
        if (badParameter != nullptr)
            *badParameter = SHARE_NETNAME_PARMNUM;
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD attributes = share->shi2_path != nullptr ? GetFileAttributesW(share->shi2_path) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return NERR_UnknownDevDir;

    CreateDirectoryW(L"C:\\lab", nullptr);
    CreateDirectoryW(SharesFolder, nullptr);
    const std::wstring file = std::wstring(SharesFolder) + L"\\" + share->shi2_netname;
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS ? NERR_DuplicateShare : GetLastError();
    const std::string record = "path=" + ToUtf8(share->shi2_path) + "\ntype=" + std::to_string(share->shi2_type) +
                               "\nremark=" + ToUtf8(share->shi2_remark) +
                               "\npermissions=" + std::to_string(share->shi2_permissions) +
                               "\nmax_uses=" + std::to_string(share->shi2_max_uses) +
                               "\ncurrent_uses=" + std::to_string(share->shi2_current_uses) +
                               "\npassword=" + ToUtf8(share->shi2_passwd) + "\n";
    DWORD written = 0;
    const BOOL wrote = WriteFile(handle, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(handle);
    if (!wrote)
    {
        DeleteFileW(file.c_str());
        return ERROR_WRITE_FAULT;
    }
    return NERR_Success;
}

extern "C" NET_API_STATUS WINAPI NetShareDel(LMSTR server, LMSTR name, DWORD reserved)
{
    if (!IsLocal(server))
        return ERROR_BAD_NETPATH;
    if (reserved != 0 || !ValidShareName(name))
        return ERROR_INVALID_PARAMETER;
    const std::wstring file = std::wstring(SharesFolder) + L"\\" + name;
    return DeleteFileW(file.c_str()) ? NERR_Success : NERR_NetNameNotFound;
}
