// certadm.dll for lab machines with the ca role: the seventeen entry points of the Certificate
// Services backup interface over the lab's certification authority. The authority's files are
// where HKLM\Software\QmLab\CertAdm says (Database, CheckpointDir, LogDir, EnrollDir, local
// paths); every name is handed out in the form \\<computer>\C$\..., as the real interface does.
//
// The server answers only while the service "CertSvc" runs (backup) or is stopped (restore).
// Under the same key:
//   Fail\<entry point>     DWORD: that call returns this status and does nothing else (the
//                          reads' knob is taken when a file is opened)
//   Hold\<entry point>     SZ: a path that the call opens without sharing and holds until the
//                          process ends, as another program might (before Fail is looked at)
//   ExtraLocationMarker    DWORD: one more location entry with this marker
//   CallLog                path of a text file: one line per call, with its arguments and, for
//                          reads, the bytes delivered
//   Restore\...            what the restore registration recorded (written by the restore calls)

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

// The interface's types and markers (its SDK header declares the functions as imports).
typedef void* HCSBC;
struct CSEDB_RSTMAPW
{
    WCHAR* pwszDatabaseName;
    WCHAR* pwszNewDatabaseName;
};
constexpr wchar_t CSBFT_LOG = 0x21;
constexpr wchar_t CSBFT_LOG_DIR = 0x82;
constexpr wchar_t CSBFT_CHECKPOINT_DIR = 0x83;
constexpr wchar_t CSBFT_CERTSERVER_DATABASE = 0x44;

namespace
{
    const wchar_t* const ConfigKey = L"Software\\QmLab\\CertAdm";
    const wchar_t* const RestoreKey = L"Software\\QmLab\\CertAdm\\Restore";

    struct Context
    {
        HANDLE file = INVALID_HANDLE_VALUE;
        // Taken when a file is opened, so that reads cost no registry lookups.
        bool readFails = false;
        HRESULT readStatus = S_OK;
        bool logReads = false;
    };

    std::wstring ReadText(const wchar_t* key, const wchar_t* name)
    {
        wchar_t value[1024] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
            return std::wstring();
        return value;
    }

    bool ReadNumber(const wchar_t* key, const wchar_t* name, DWORD& number)
    {
        DWORD size = sizeof number;
        return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &number, &size) == ERROR_SUCCESS;
    }

    void Log(const wchar_t* format, ...)
    {
        const std::wstring path = ReadText(ConfigKey, L"CallLog");
        if (path.empty())
            return;
        wchar_t line[2048];
        va_list arguments;
        va_start(arguments, format);
        _vsnwprintf(line, 2047, format, arguments);
        va_end(arguments);
        line[2047] = L'\0';
        char narrow[4096];
        const int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, narrow, sizeof narrow - 2, nullptr, nullptr);
        if (length <= 0)
            return;
        narrow[length - 1] = '\n';
        const HANDLE log = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log == INVALID_HANDLE_VALUE)
            return;
        DWORD written = 0;
        WriteFile(log, narrow, length, &written, nullptr);
        CloseHandle(log);
    }

    // The knob of one call: true (and the status to return) when it is to fail.
    bool Knob(const wchar_t* entryPoint, HRESULT& status)
    {
        const std::wstring held = ReadText((std::wstring(ConfigKey) + L"\\Hold").c_str(), entryPoint);
        if (!held.empty())
        {
            // Never closed: the process's end lets it go.
            const HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            Log(L"%ls holds %ls: %ls", entryPoint, held.c_str(), file != INVALID_HANDLE_VALUE ? L"held" : L"failed");
        }
        DWORD value = 0;
        const std::wstring key = std::wstring(ConfigKey) + L"\\Fail";
        if (!ReadNumber(key.c_str(), entryPoint, value))
            return false;
        status = static_cast<HRESULT>(value);
        Log(L"%ls fails %08lx", entryPoint, value);
        return true;
    }

    std::wstring ComputerName()
    {
        wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
        GetComputerNameW(name, &length);
        return name;
    }

    // C:\x -> \\<computer>\C$\x
    std::wstring Unc(const std::wstring& local)
    {
        if (local.size() < 3 || local[1] != L':')
            return local;
        return L"\\\\" + ComputerName() + L"\\" + local.substr(0, 1) + L"$" + local.substr(2);
    }

    bool ServiceRunning()
    {
        bool running = false;
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager == nullptr)
            return false;
        const SC_HANDLE service = OpenServiceW(manager, L"CertSvc", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status = {};
        if (service != nullptr && QueryServiceStatus(service, &status))
            running = status.dwCurrentState == SERVICE_RUNNING;
        if (service != nullptr)
            CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return running;
    }

    bool IsThisServer(const wchar_t* server)
    {
        if (server == nullptr || server[0] == L'\0')
            return true;
        while (*server == L'\\')
            ++server;
        return lstrcmpiW(server, ComputerName().c_str()) == 0;
    }

    // Files of a folder matching a pattern, as local paths, in the folder's listing order.
    std::vector<std::wstring> FilesIn(const std::wstring& folder, const wchar_t* pattern)
    {
        std::vector<std::wstring> files;
        WIN32_FIND_DATAW entry;
        const HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return files;
        do
        {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                files.push_back(folder + L"\\" + entry.cFileName);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        return files;
    }

    // A list block as the interface returns it: entries (marker first where given) one after
    // another, each null-terminated, and an empty one at the end.
    HRESULT MakeList(const std::vector<std::wstring>& entries, WCHAR** list, DWORD* size)
    {
        std::wstring block;
        for (const std::wstring& entry : entries)
        {
            block += entry;
            block += L'\0';
        }
        block += L'\0';
        const DWORD bytes = static_cast<DWORD>(block.size() * sizeof(wchar_t));
        auto* copy = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, bytes));
        if (copy == nullptr)
            return E_OUTOFMEMORY;
        memcpy(copy, block.data(), bytes);
        *list = copy;
        *size = bytes;
        return S_OK;
    }

    std::wstring Marked(wchar_t marker, const std::wstring& local)
    {
        return std::wstring(1, marker) + Unc(local);
    }

    void RecordText(const wchar_t* name, const wchar_t* text)
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, RestoreKey, name, REG_SZ, text,
                        static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t)));
    }

    void RecordNumber(const wchar_t* name, DWORD number)
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, RestoreKey, name, REG_DWORD, &number, sizeof number);
    }
}

#define KNOB(name)                       \
    do                                   \
    {                                    \
        HRESULT knobStatus = S_OK;       \
        if (Knob(L## #name, knobStatus)) \
            return knobStatus;           \
    } while (false)

extern "C" {

HRESULT WINAPI CertSrvIsServerOnlineW(WCHAR const* server, BOOL* online)
{
    KNOB(CertSrvIsServerOnlineW);
    Log(L"CertSrvIsServerOnlineW %ls", server != nullptr ? server : L"");
    *online = ServiceRunning();
    return S_OK;
}

HRESULT WINAPI CertSrvServerControlW(WCHAR const* server, DWORD control, DWORD* outSize, BYTE** out)
{
    KNOB(CertSrvServerControlW);
    Log(L"CertSrvServerControlW %ls %lu", server != nullptr ? server : L"", control);
    if (outSize != nullptr)
        *outSize = 0;
    if (out != nullptr)
        *out = nullptr;
    return S_OK;
}

HRESULT WINAPI CertSrvBackupPrepareW(WCHAR const* server, ULONG grbit, ULONG flags, HCSBC* context)
{
    KNOB(CertSrvBackupPrepareW);
    Log(L"CertSrvBackupPrepareW %ls %lu %lu", server != nullptr ? server : L"", grbit, flags);
    if (!IsThisServer(server))
        return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    if (!ServiceRunning())
        return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
    *context = new Context;
    return S_OK;
}

HRESULT WINAPI CertSrvRestoreGetDatabaseLocationsW(HCSBC context, WCHAR** list, DWORD* size)
{
    KNOB(CertSrvRestoreGetDatabaseLocationsW);
    Log(L"CertSrvRestoreGetDatabaseLocationsW");
    if (context == nullptr)
        return E_HANDLE;
    std::vector<std::wstring> entries = {Marked(CSBFT_CERTSERVER_DATABASE, ReadText(ConfigKey, L"Database")),
                                         Marked(CSBFT_CHECKPOINT_DIR, ReadText(ConfigKey, L"CheckpointDir")),
                                         Marked(CSBFT_LOG_DIR, ReadText(ConfigKey, L"LogDir"))};
    DWORD extra = 0;
    if (ReadNumber(ConfigKey, L"ExtraLocationMarker", extra))
        entries.push_back(Marked(static_cast<wchar_t>(extra), ReadText(ConfigKey, L"LogDir")));
    return MakeList(entries, list, size);
}

HRESULT WINAPI CertSrvBackupGetDatabaseNamesW(HCSBC context, WCHAR** list, DWORD* size)
{
    KNOB(CertSrvBackupGetDatabaseNamesW);
    Log(L"CertSrvBackupGetDatabaseNamesW");
    if (context == nullptr)
        return E_HANDLE;
    return MakeList({Marked(CSBFT_CERTSERVER_DATABASE, ReadText(ConfigKey, L"Database"))}, list, size);
}

HRESULT WINAPI CertSrvBackupGetBackupLogsW(HCSBC context, WCHAR** list, DWORD* size)
{
    KNOB(CertSrvBackupGetBackupLogsW);
    Log(L"CertSrvBackupGetBackupLogsW");
    if (context == nullptr)
        return E_HANDLE;
    std::vector<std::wstring> entries;
    for (const std::wstring& log : FilesIn(ReadText(ConfigKey, L"LogDir"), L"edb*.log"))
        entries.push_back(Marked(CSBFT_LOG, log));
    return MakeList(entries, list, size);
}

HRESULT WINAPI CertSrvBackupGetDynamicFileListW(HCSBC context, WCHAR** list, DWORD* size)
{
    KNOB(CertSrvBackupGetDynamicFileListW);
    Log(L"CertSrvBackupGetDynamicFileListW");
    if (context == nullptr)
        return E_HANDLE;
    std::vector<std::wstring> entries;
    for (const std::wstring& file : FilesIn(ReadText(ConfigKey, L"EnrollDir"), L"*"))
        entries.push_back(Unc(file));
    return MakeList(entries, list, size);
}

HRESULT WINAPI CertSrvBackupOpenFileW(HCSBC context, WCHAR const* name, DWORD hint, LARGE_INTEGER* size)
{
    KNOB(CertSrvBackupOpenFileW);
    auto* backup = static_cast<Context*>(context);
    if (backup == nullptr || backup->file != INVALID_HANDLE_VALUE)
        return E_HANDLE;
    backup->file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (backup->file == INVALID_HANDLE_VALUE)
        return HRESULT_FROM_WIN32(GetLastError());
    GetFileSizeEx(backup->file, size);
    backup->readFails = Knob(L"CertSrvBackupRead", backup->readStatus);
    backup->logReads = !ReadText(ConfigKey, L"CallLog").empty();
    Log(L"CertSrvBackupOpenFileW %ls %lu %I64d", name, hint, size->QuadPart);
    return S_OK;
}

HRESULT WINAPI CertSrvBackupRead(HCSBC context, VOID* buffer, DWORD bufferSize, DWORD* read)
{
    auto* backup = static_cast<Context*>(context);
    if (backup == nullptr || backup->file == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    if (backup->readFails)
        return backup->readStatus;
    if (!ReadFile(backup->file, buffer, bufferSize, read, nullptr))
        return HRESULT_FROM_WIN32(GetLastError());
    if (backup->logReads)
        Log(L"CertSrvBackupRead %lu %lu", bufferSize, *read);
    return S_OK;
}

HRESULT WINAPI CertSrvBackupClose(HCSBC context)
{
    KNOB(CertSrvBackupClose);
    Log(L"CertSrvBackupClose");
    auto* backup = static_cast<Context*>(context);
    if (backup == nullptr || backup->file == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    CloseHandle(backup->file);
    backup->file = INVALID_HANDLE_VALUE;
    return S_OK;
}

HRESULT WINAPI CertSrvBackupTruncateLogs(HCSBC context)
{
    KNOB(CertSrvBackupTruncateLogs);
    Log(L"CertSrvBackupTruncateLogs");
    return context == nullptr ? E_HANDLE : S_OK;
}

HRESULT WINAPI CertSrvBackupEnd(HCSBC context)
{
    KNOB(CertSrvBackupEnd);
    Log(L"CertSrvBackupEnd");
    auto* backup = static_cast<Context*>(context);
    if (backup == nullptr)
        return E_HANDLE;
    if (backup->file != INVALID_HANDLE_VALUE)
        CloseHandle(backup->file);
    delete backup;
    return S_OK;
}

VOID WINAPI CertSrvBackupFree(VOID* block)
{
    Log(L"CertSrvBackupFree");
    if (block != nullptr)
        HeapFree(GetProcessHeap(), 0, block);
}

HRESULT WINAPI CertSrvRestorePrepareW(WCHAR const* server, ULONG flags, HCSBC* context)
{
    KNOB(CertSrvRestorePrepareW);
    Log(L"CertSrvRestorePrepareW %ls %lu", server != nullptr ? server : L"", flags);
    if (!IsThisServer(server))
        return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    // The database is replaced offline only.
    if (ServiceRunning())
        return HRESULT_FROM_WIN32(ERROR_SERVICE_ALREADY_RUNNING);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, RestoreKey);
    RecordNumber(L"Prepared", flags);
    *context = new Context;
    return S_OK;
}

HRESULT WINAPI CertSrvRestoreRegisterW(HCSBC context, WCHAR const* checkpoint, WCHAR const* logPath,
                                       CSEDB_RSTMAPW map[], LONG mapCount, WCHAR const* backupLogPath, ULONG low,
                                       ULONG high)
{
    KNOB(CertSrvRestoreRegisterW);
    Log(L"CertSrvRestoreRegisterW %ls %ls %ld %ls %lu %lu", checkpoint, logPath, mapCount, backupLogPath, low, high);
    if (context == nullptr)
        return E_HANDLE;
    RecordText(L"CheckpointDir", checkpoint);
    RecordText(L"LogDir", logPath);
    RecordText(L"BackupLogDir", backupLogPath);
    RecordNumber(L"MapEntries", static_cast<DWORD>(mapCount));
    if (mapCount > 0)
    {
        RecordText(L"Database", map[0].pwszDatabaseName);
        RecordText(L"NewDatabase", map[0].pwszNewDatabaseName);
    }
    RecordNumber(L"LowLog", low);
    RecordNumber(L"HighLog", high);
    return S_OK;
}

HRESULT WINAPI CertSrvRestoreRegisterComplete(HCSBC context, HRESULT state)
{
    KNOB(CertSrvRestoreRegisterComplete);
    Log(L"CertSrvRestoreRegisterComplete %08lx", static_cast<DWORD>(state));
    if (context == nullptr)
        return E_HANDLE;
    RecordNumber(L"Complete", static_cast<DWORD>(state));
    return S_OK;
}

HRESULT WINAPI CertSrvRestoreEnd(HCSBC context)
{
    KNOB(CertSrvRestoreEnd);
    Log(L"CertSrvRestoreEnd");
    if (context == nullptr)
        return E_HANDLE;
    RecordNumber(L"Ended", 1);
    delete static_cast<Context*>(context);
    return S_OK;
}

}
