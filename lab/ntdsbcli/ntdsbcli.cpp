// The lab's directory backup client over C:\WINDOWS\NTDS: the database ntds.dit, the
// generation-numbered logs edbNNNNN.log (the checkpoint edb.chk and the reserve logs stay
// where they are, as the service keeps them). The service is online unless the machine runs in
// restore mode (SAFEBOOT_OPTION=DSREPAIR).
//
// HKLM\SOFTWARE\Harborline Lab\ntdsbcli holds what a test sets and reads:
//   <call name> (DWORD)       the call returns this code instead of doing its work
//   Directory (SZ)            the directory's folder instead of C:\WINDOWS\NTDS
//   TokenLifetime (DWORD)     seconds a backup's expiry token stays valid (default 60 days)
//   AuthIdentity (SZ)         written by DsSetAuthIdentityW: domain\user
//   Truncated (DWORD)         written by DsBackupTruncateLogs
// and below it, Registration: what DsRestoreRegisterW registered (CheckpointDirectory,
// LogDirectory, BackupLogDirectory, LowLog, HighLog, Map "old=>new;...") and later Complete
// (the restore's result) and Ended.

#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{
    const wchar_t* const LabKey = L"SOFTWARE\\Harborline Lab\\ntdsbcli";
    const wchar_t* const RegistrationKey = L"SOFTWARE\\Harborline Lab\\ntdsbcli\\Registration";
    const DWORD TokenMagic = 0x5842414C;   // "LABX"
    const HRESULT EndOfFile = ERROR_HANDLE_EOF;
    const HRESULT NotConnected = static_cast<HRESULT>(0xC7FF0007);
    const HRESULT TokenMissing = static_cast<HRESULT>(0xC7FF000F);
    const HRESULT TokenUnrecognized = static_cast<HRESULT>(0xC7FF0010);
    const HRESULT TokenExpired = static_cast<HRESULT>(0xC7FF0011);
    const HRESULT InvalidHandle = static_cast<HRESULT>(0xC7FF0003);

    struct Token
    {
        DWORD magic;
        DWORD check;
        ULONGLONG expires;   // FILETIME
    };

    struct Context
    {
        bool restore = false;
        HANDLE file = INVALID_HANDLE_VALUE;
        ULONGLONG size = 0;
        ULONGLONG position = 0;
        std::vector<BYTE> ahead;
        DWORD aheadOffset = 0;
        DWORD aheadLength = 0;
    };

    bool ReadValue(const wchar_t* name, DWORD type, void* value, DWORD size)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, LabKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        DWORD found = 0;
        const LONG status = RegQueryValueExW(key, name, nullptr, &found, static_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS && found == type;
    }

    // The failure a test set for the call, or 0. Read once per process: a backup reads the
    // database in thousands of calls.
    HRESULT Knob(const wchar_t* call)
    {
        static std::map<std::wstring, HRESULT> knobs;
        const auto known = knobs.find(call);
        if (known != knobs.end())
            return known->second;
        DWORD code = 0;
        const HRESULT knob = ReadValue(call, REG_DWORD, &code, sizeof code) ? static_cast<HRESULT>(code) : 0;
        knobs[call] = knob;
        return knob;
    }

    std::wstring Directory()
    {
        wchar_t value[1024] = {};
        if (ReadValue(L"Directory", REG_SZ, value, sizeof value - sizeof(wchar_t)))
            return value;
        return L"C:\\WINDOWS\\NTDS";
    }

    void Write(const wchar_t* keyPath, const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }

    void WriteText(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text)
    {
        Write(keyPath, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    void WriteNumber(const wchar_t* keyPath, const wchar_t* name, DWORD number)
    {
        Write(keyPath, name, REG_DWORD, &number, sizeof number);
    }

    bool IsOnline()
    {
        wchar_t mode[32] = {};
        const DWORD length = GetEnvironmentVariableW(L"SAFEBOOT_OPTION", mode, 32);
        return !(length > 0 && length < 32 && std::wstring(mode) == L"DSREPAIR");
    }

    ULONGLONG Now()
    {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    }

    // An entry list in one block that DsBackupFree releases.
    HRESULT HandOut(const std::vector<std::pair<wchar_t, std::wstring>>& entries, LPWSTR* list, LPDWORD size)
    {
        std::wstring text;
        for (const auto& entry : entries)
        {
            text.push_back(entry.first);
            text += entry.second;
            text.push_back(L'\0');
        }
        text.push_back(L'\0');
        const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        auto* block = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
        if (block == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(block, text.data(), bytes);
        *list = block;
        if (size != nullptr)
            *size = bytes;
        return 0;
    }

    Context* ContextOf(void* hbc)
    {
        return static_cast<Context*>(hbc);
    }
}

extern "C" {

HRESULT WINAPI DsIsNTDSOnlineW(LPCWSTR, BOOL* online)
{
    if (HRESULT knob = Knob(L"DsIsNTDSOnlineW"))
        return knob;
    *online = IsOnline() ? TRUE : FALSE;
    return 0;
}

HRESULT WINAPI DsSetAuthIdentityW(LPCWSTR user, LPCWSTR domain, LPCWSTR)
{
    if (HRESULT knob = Knob(L"DsSetAuthIdentityW"))
        return knob;
    WriteText(LabKey, L"AuthIdentity", std::wstring(domain) + L"\\" + user);
    return 0;
}

HRESULT WINAPI DsBackupPrepareW(LPCWSTR, ULONG, ULONG, PVOID* token, LPDWORD tokenSize, void** hbc)
{
    if (HRESULT knob = Knob(L"DsBackupPrepareW"))
        return knob;
    if (!IsOnline())
        return NotConnected;
    DWORD lifetime = 60 * 24 * 3600;
    ReadValue(L"TokenLifetime", REG_DWORD, &lifetime, sizeof lifetime);
    auto* block = static_cast<Token*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Token)));
    block->magic = TokenMagic;
    block->expires = Now() + static_cast<ULONGLONG>(lifetime) * 10000000ULL;
    block->check = static_cast<DWORD>(block->expires ^ (block->expires >> 32)) ^ TokenMagic;
    *token = block;
    *tokenSize = sizeof(Token);
    *hbc = new Context();
    return 0;
}

HRESULT WINAPI DsBackupGetDatabaseNamesW(void* hbc, LPWSTR* list, LPDWORD size)
{
    if (HRESULT knob = Knob(L"DsBackupGetDatabaseNamesW"))
        return knob;
    if (hbc == nullptr)
        return InvalidHandle;
    return HandOut({{0x44, Directory() + L"\\ntds.dit"}}, list, size);
}

HRESULT WINAPI DsBackupGetBackupLogsW(void* hbc, LPWSTR* list, LPDWORD size)
{
    if (HRESULT knob = Knob(L"DsBackupGetBackupLogsW"))
        return knob;
    if (hbc == nullptr)
        return InvalidHandle;
    const std::wstring directory = Directory();
    std::vector<std::pair<wchar_t, std::wstring>> logs;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((directory + L"\\edb*.log").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            // Generation-numbered logs only: edb00001.log, not the current edb.log.
            if (std::wcslen(entry.cFileName) == 12)
                logs.emplace_back(0x21, directory + L"\\" + entry.cFileName);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    return HandOut(logs, list, size);
}

HRESULT WINAPI DsBackupOpenFileW(void* hbc, LPCWSTR path, DWORD, LARGE_INTEGER* size)
{
    if (HRESULT knob = Knob(L"DsBackupOpenFileW"))
        return knob;
    Context* context = ContextOf(hbc);
    if (context == nullptr || context->file != INVALID_HANDLE_VALUE)
        return InvalidHandle;
    context->file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (context->file == INVALID_HANDLE_VALUE)
        return HRESULT_FROM_WIN32(GetLastError());
    GetFileSizeEx(context->file, size);
    context->size = static_cast<ULONGLONG>(size->QuadPart);
    context->position = 0;
    context->aheadOffset = context->aheadLength = 0;
    return 0;
}

HRESULT WINAPI DsBackupRead(void* hbc, PVOID buffer, DWORD bufferSize, PDWORD read)
{
    if (HRESULT knob = Knob(L"DsBackupRead"))
        return knob;
    Context* context = ContextOf(hbc);
    if (context == nullptr || context->file == INVALID_HANDLE_VALUE)
        return InvalidHandle;
    // Served from a read-ahead block, as the service streams the file.
    if (context->ahead.empty())
        context->ahead.resize(131072);
    if (context->aheadOffset == context->aheadLength)
    {
        DWORD got = 0;
        if (!ReadFile(context->file, context->ahead.data(), static_cast<DWORD>(context->ahead.size()), &got, nullptr))
            return HRESULT_FROM_WIN32(GetLastError());
        context->aheadOffset = 0;
        context->aheadLength = got;
    }
    *read = context->aheadLength - context->aheadOffset < bufferSize ? context->aheadLength - context->aheadOffset : bufferSize;
    std::memcpy(buffer, context->ahead.data() + context->aheadOffset, *read);
    context->aheadOffset += *read;
    context->position += *read;
    // The last bytes come with the end of file, as the service hands them out.
    return context->position >= context->size ? EndOfFile : 0;
}

HRESULT WINAPI DsBackupClose(void* hbc)
{
    if (HRESULT knob = Knob(L"DsBackupClose"))
        return knob;
    Context* context = ContextOf(hbc);
    if (context == nullptr || context->file == INVALID_HANDLE_VALUE)
        return InvalidHandle;
    CloseHandle(context->file);
    context->file = INVALID_HANDLE_VALUE;
    return 0;
}

HRESULT WINAPI DsBackupTruncateLogs(void* hbc)
{
    if (HRESULT knob = Knob(L"DsBackupTruncateLogs"))
        return knob;
    if (hbc == nullptr)
        return InvalidHandle;
    WriteNumber(LabKey, L"Truncated", 1);
    return 0;
}

HRESULT WINAPI DsBackupEnd(void* hbc)
{
    if (HRESULT knob = Knob(L"DsBackupEnd"))
        return knob;
    Context* context = ContextOf(hbc);
    if (context == nullptr)
        return InvalidHandle;
    if (context->file != INVALID_HANDLE_VALUE)
        CloseHandle(context->file);
    delete context;
    return 0;
}

void WINAPI DsBackupFree(PVOID block)
{
    if (block != nullptr)
        HeapFree(GetProcessHeap(), 0, block);
}

HRESULT WINAPI DsRestorePrepareW(LPCWSTR, ULONG, PVOID token, DWORD tokenSize, void** hbc)
{
    if (HRESULT knob = Knob(L"DsRestorePrepareW"))
        return knob;
    if (token == nullptr || tokenSize == 0)
        return TokenMissing;
    Token read = {};
    if (tokenSize != sizeof(Token))
        return TokenUnrecognized;
    std::memcpy(&read, token, sizeof read);
    if (read.magic != TokenMagic || read.check != (static_cast<DWORD>(read.expires ^ (read.expires >> 32)) ^ TokenMagic))
        return TokenUnrecognized;
    if (read.expires <= Now())
        return TokenExpired;
    auto* context = new Context();
    context->restore = true;
    *hbc = context;
    return 0;
}

HRESULT WINAPI DsRestoreGetDatabaseLocationsW(void* hbc, LPWSTR* list, LPDWORD size)
{
    if (HRESULT knob = Knob(L"DsRestoreGetDatabaseLocationsW"))
        return knob;
    if (hbc == nullptr)
        return InvalidHandle;
    const std::wstring directory = Directory();
    return HandOut({{0x83, directory}, {0x82, directory}, {0x44, directory + L"\\ntds.dit"}}, list, size);
}

struct RestoreMapEntry
{
    wchar_t* databaseName;
    wchar_t* newDatabaseName;
};

HRESULT WINAPI DsRestoreRegisterW(void* hbc, LPCWSTR checkpoint, LPCWSTR logs, RestoreMapEntry* map, LONG mapSize,
                                  LPCWSTR backupLogs, ULONG low, ULONG high)
{
    if (HRESULT knob = Knob(L"DsRestoreRegisterW"))
        return knob;
    Context* context = ContextOf(hbc);
    if (context == nullptr || !context->restore)
        return InvalidHandle;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, RegistrationKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS)
    {
        RegDeleteValueW(key, L"Complete");
        RegDeleteValueW(key, L"Ended");
        RegCloseKey(key);
    }
    std::wstring mapText;
    for (LONG i = 0; i < mapSize; ++i)
        mapText += std::wstring(i > 0 ? L";" : L"") + map[i].databaseName + L"=>" + map[i].newDatabaseName;
    WriteText(RegistrationKey, L"CheckpointDirectory", checkpoint);
    WriteText(RegistrationKey, L"LogDirectory", logs);
    WriteText(RegistrationKey, L"BackupLogDirectory", backupLogs);
    WriteNumber(RegistrationKey, L"LowLog", low);
    WriteNumber(RegistrationKey, L"HighLog", high);
    WriteText(RegistrationKey, L"Map", mapText);
    return 0;
}

HRESULT WINAPI DsRestoreRegisterComplete(void* hbc, HRESULT result)
{
    if (HRESULT knob = Knob(L"DsRestoreRegisterComplete"))
        return knob;
    if (hbc == nullptr)
        return InvalidHandle;
    WriteNumber(RegistrationKey, L"Complete", static_cast<DWORD>(result));
    return 0;
}

HRESULT WINAPI DsRestoreEnd(void* hbc)
{
    if (HRESULT knob = Knob(L"DsRestoreEnd"))
        return knob;
    Context* context = ContextOf(hbc);
    if (context == nullptr)
        return InvalidHandle;
    delete context;
    WriteNumber(RegistrationKey, L"Ended", 1);
    return 0;
}
}
