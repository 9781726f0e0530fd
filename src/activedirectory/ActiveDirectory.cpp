#include "activedirectory/ActiveDirectory.h"

#include "activedirectory/ActiveDirectoryBackupSet.h"
#include "activedirectory/ActiveDirectoryFolders.h"
#include "activedirectory/TnVssClientWrapper.h"
#include "files/DatabaseLogs.h"
#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "files/ReplacementSet.h"
#include "files/SparseFileWriter.h"
#include "handles/Handles.h"
#include "platform/Libraries.h"
#include "platform/OperatingSystem.h"

#include <cwchar>
#include <memory>
#include <set>
#include <vector>

namespace
{
    const wchar_t* const NoBackup = L"No Active Directory backup in %s";
    const wchar_t* const WriterId = L"{b2014c9e-8711-4c5c-a5a9-3cf384484757}";
    const wchar_t* const SnapshotTool = L"x64\\dozeZuz.exe";

    // DsBackupPrepareW: a full backup; DsRestorePrepareW: the restore type the API expects.
    constexpr ULONG FullBackup = 1;
    constexpr ULONG RestoreType = 4;
    constexpr DWORD ReadSize = 32768;
    constexpr DWORD WriteSize = 4 * ReadSize;
    // DsBackupRead's end of file; the last bytes may come with it.
    constexpr HRESULT EndOfFile = ERROR_HANDLE_EOF;

    // The API's restore map entry: the database as named at backup time, and where it goes.
    struct RestoreMapEntry
    {
        wchar_t* databaseName;
        wchar_t* newDatabaseName;
    };

    [[noreturn]] void Fail(const String& message)
    {
        throw ActiveDirectoryException(message);
    }

    [[noreturn]] void CallFailed(const wchar_t* call, HRESULT code)
    {
        Fail(String(call) + L" failed: " + ErrorText::Format(static_cast<DWORD>(code)));
    }

    // Servers of version 6 and later hand the directory over through its VSS writer.
    bool TakesWriterPath()
    {
        const OperatingSystem system;
        return system.IsVistaOrLater() && !system.IsWorkstation();
    }

    bool IsLogListMarker(wchar_t marker)
    {
        return marker == ActiveDirectory::LogAreaFile || marker == ActiveDirectory::LogFile ||
               marker == ActiveDirectory::PatchFile || marker == ActiveDirectory::LogDirectory;
    }

    bool IsDatabaseListMarker(wchar_t marker)
    {
        return marker == ActiveDirectory::DatabaseAreaFile || marker == ActiveDirectory::DatabaseFile ||
               marker == ActiveDirectory::CheckpointDirectory;
    }

    // The entries of a list as (marker, path); the list ends at its first empty entry.
    std::vector<std::pair<wchar_t, String>> Entries(const wchar_t* list)
    {
        std::vector<std::pair<wchar_t, String>> entries;
        for (const wchar_t* entry = list; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1)
            entries.emplace_back(entry[0], String(entry + 1));
        return entries;
    }

    // What a directory manifest may hold, far above what a backup writes.
    constexpr ULONGLONG MostManifestBytes = 32ull * 1024 * 1024;

    bool IsLogAreaMarker(wchar_t marker)
    {
        return marker == ActiveDirectory::LogAreaFile || marker == ActiveDirectory::LogFile ||
               marker == ActiveDirectory::PatchFile;
    }

    bool IsDatabaseMarker(wchar_t marker)
    {
        return marker == ActiveDirectory::DatabaseAreaFile || marker == ActiveDirectory::DatabaseFile;
    }

    // The name a saved file has in the backup folder: the recorded path's last part.
    String SavedName(const String& path)
    {
        return path.empty() ? String() : Files::GetFileName(path);
    }

    bool SavedFileSize(const String& path, ULONGLONG& size)
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(Paths::ToLongPath(path).c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return false;
        size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        return true;
    }

    // An empty database would replace the live one with nothing.
    void RefuseEmptyDatabase(const String& saved)
    {
        ULONGLONG size = 0;
        if (SavedFileSize(saved, size) && size == 0)
            Fail(Strings::Format(L"%s is empty, not a directory database", saved.c_str()));
    }

    struct NoCase
    {
        bool operator()(const String& one, const String& other) const
        {
            return _wcsicmp(one.c_str(), other.c_str()) < 0;
        }
    };

    // What a restore takes from the backup folder.
    struct SavedBackup
    {
        std::vector<BYTE> token;   // tokenLength + 1 bytes
        DWORD tokenLength = 0;
        String databaseFiles;      // the manifest's lists, without their closing NUL
        String logFiles;
    };

    // Reads the manifest and checks what the restore would put back from it, before the restore is
    // prepared: at least one database, none of them empty; logs that are generation-numbered logs;
    // every saved file listed once.
    SavedBackup ReadBackup(const String& directory)
    {
        const String manifest = directory + L"\\" + ActiveDirectoryBackupSet::FileName;
        ULONGLONG manifestSize = 0;
        if (SavedFileSize(manifest, manifestSize) && manifestSize > MostManifestBytes)
            Fail(Strings::Format(L"%s is larger than %lu MiB, more than a directory backup's manifest holds",
                                 manifest.c_str(), static_cast<unsigned long>(MostManifestBytes >> 20)));
        ActiveDirectoryBackupSet backupSet(directory);
        backupSet.OpenExisting(NoBackup);
        SavedBackup saved;
        saved.token = backupSet.GetExpiration(saved.tokenLength);
        saved.databaseFiles = backupSet.GetDatabaseFiles();
        saved.logFiles = backupSet.GetLogFiles();

        // A name listed twice would be deleted and copied back twice.
        std::set<String, NoCase> names;
        const auto once = [&](const String& name) {
            if (!names.insert(name).second)
                Fail(Strings::Format(L"The backup in %s lists %s more than once", directory.c_str(), name.c_str()));
        };
        size_t databases = 0;
        for (const auto& entry : Entries(saved.databaseFiles.c_str()))
        {
            if (!IsDatabaseMarker(entry.first))
                continue;
            const String name = SavedName(entry.second);
            if (!Paths::IsPlainName(name))
                Fail(Strings::Format(L"The backup in %s lists the database %s, whose name is no plain file name",
                                     directory.c_str(), entry.second.c_str()));
            once(name);
            RefuseEmptyDatabase(directory + L"\\" + name);
            ++databases;
        }
        if (databases == 0)
            Fail(Strings::Format(NoBackup, directory.c_str()));
        for (const auto& entry : Entries(saved.logFiles.c_str()))
        {
            if (!IsLogAreaMarker(entry.first))
                continue;
            const String name = SavedName(entry.second);
            if (!DatabaseLogs::IsGenerationName(name))
                Fail(Strings::Format(L"The backup in %s lists the log %s, which is no generation-numbered log "
                                     L"(edb<generation>.log)",
                                     directory.c_str(), entry.second.c_str()));
            once(name);
        }
        return saved;
    }

    // When the service cannot name its locations, the paths the backup recorded take their place,
    // and the log folder becomes the folder of the list's last entry: each must then be a folder the
    // service is configured with (a database or log directly in it), or the copies would go where
    // the manifest says.
    void RefuseForeignLocations(const String& directory, const String& list)
    {
        const StringList folders = ActiveDirectoryFolders::Live();
        const auto isServiceFolder = [&](const String& folder) {
            for (const String& live : folders)
                if (_wcsicmp(Directories::RemoveBackslash(live).c_str(), Directories::RemoveBackslash(folder).c_str()) == 0)
                    return true;
            return false;
        };
        for (const auto& entry : Entries(list.c_str()))
        {
            const bool isFolder = entry.first == ActiveDirectory::LogDirectory ||
                                  entry.first == ActiveDirectory::CheckpointDirectory;
            if (!isFolder && !IsDatabaseMarker(entry.first) && !IsLogAreaMarker(entry.first))
                continue;
            if (entry.second.empty() ||
                !isServiceFolder(isFolder ? entry.second : Directories::GetDirectory(entry.second, true)))
                Fail(Strings::Format(L"The backup in %s records %s, which lies in none of the directory service's "
                                     L"folders",
                                     directory.c_str(), entry.second.c_str()));
        }
    }

}

// The directory backup API of ntdsbcli.dll, loaded for one operation and freed after it.
class ActiveDirectory::Api
{
public:
    Api()
    {
        m_library.reset(Libraries::LoadFromSystemFolder(L"ntdsbcli.dll"));
        if (!m_library)
        {
            const String error = ErrorText::FormatLastError();
            Fail(L"LoadLibrary(ntdsbcli.dll) failed: " + error);
        }
        Bind(IsNTDSOnline, "DsIsNTDSOnlineW");
        Bind(SetAuthIdentity, "DsSetAuthIdentityW");
        Bind(BackupPrepare, "DsBackupPrepareW");
        Bind(BackupGetDatabaseNames, "DsBackupGetDatabaseNamesW");
        Bind(BackupGetBackupLogs, "DsBackupGetBackupLogsW");
        Bind(BackupOpenFile, "DsBackupOpenFileW");
        Bind(BackupRead, "DsBackupRead");
        Bind(BackupClose, "DsBackupClose");
        Bind(BackupTruncateLogs, "DsBackupTruncateLogs");
        Bind(BackupEnd, "DsBackupEnd");
        Bind(BackupFree, "DsBackupFree");
        Bind(RestorePrepare, "DsRestorePrepareW");
        Bind(RestoreGetDatabaseLocations, "DsRestoreGetDatabaseLocationsW");
        Bind(RestoreRegister, "DsRestoreRegisterW");
        Bind(RestoreRegisterComplete, "DsRestoreRegisterComplete");
        Bind(RestoreEnd, "DsRestoreEnd");
    }

    HRESULT(WINAPI* IsNTDSOnline)(LPCWSTR, BOOL*) = nullptr;
    HRESULT(WINAPI* SetAuthIdentity)(LPCWSTR, LPCWSTR, LPCWSTR) = nullptr;
    HRESULT(WINAPI* BackupPrepare)(LPCWSTR, ULONG, ULONG, PVOID*, LPDWORD, void**) = nullptr;
    HRESULT(WINAPI* BackupGetDatabaseNames)(void*, LPWSTR*, LPDWORD) = nullptr;
    HRESULT(WINAPI* BackupGetBackupLogs)(void*, LPWSTR*, LPDWORD) = nullptr;
    HRESULT(WINAPI* BackupOpenFile)(void*, LPCWSTR, DWORD, LARGE_INTEGER*) = nullptr;
    HRESULT(WINAPI* BackupRead)(void*, PVOID, DWORD, PDWORD) = nullptr;
    HRESULT(WINAPI* BackupClose)(void*) = nullptr;
    HRESULT(WINAPI* BackupTruncateLogs)(void*) = nullptr;
    HRESULT(WINAPI* BackupEnd)(void*) = nullptr;
    void(WINAPI* BackupFree)(PVOID) = nullptr;
    HRESULT(WINAPI* RestorePrepare)(LPCWSTR, ULONG, PVOID, DWORD, void**) = nullptr;
    HRESULT(WINAPI* RestoreGetDatabaseLocations)(void*, LPWSTR*, LPDWORD) = nullptr;
    HRESULT(WINAPI* RestoreRegister)(void*, LPCWSTR, LPCWSTR, RestoreMapEntry*, LONG, LPCWSTR, ULONG, ULONG) = nullptr;
    HRESULT(WINAPI* RestoreRegisterComplete)(void*, HRESULT) = nullptr;
    HRESULT(WINAPI* RestoreEnd)(void*) = nullptr;

private:
    template <typename Function>
    void Bind(Function& function, const char* name)
    {
        function = GetProc<Function>(m_library.get(), name);
        if (function == nullptr)
            Fail(Strings::Format(L"GetProcAddress(%S) failed.", name));
    }

    UniqueLibrary m_library;
};

namespace
{
    void SetCredentials(ActiveDirectory::Api& api, const String& domain, const String& user, const String& password)
    {
        if (domain.empty() || user.empty() || password.empty())
            return;
        const HRESULT hr = api.SetAuthIdentity(user.c_str(), domain.c_str(), password.c_str());
        if (hr < 0)
            CallFailed(L"DsSetAuthIdentity", hr);
    }

    BOOL QueryOnline(ActiveDirectory::Api& api, const String& server)
    {
        BOOL online = FALSE;
        const HRESULT hr = api.IsNTDSOnline(server.c_str(), &online);
        if (hr != 0)
            Fail(ErrorText::Format(static_cast<DWORD>(hr)));
        return online;
    }

    void SaveOrThrow(ActiveDirectoryBackupSet& backupSet)
    {
        if (!backupSet.Save())
            Fail(L"Could not save xml file!");
    }
}

void ActiveDirectory::IsOnline(const String& server, BOOL& online)
{
    if (TakesWriterPath())
    {
        online = TRUE;
        return;
    }
    Api api;
    online = QueryOnline(api, server);
}

void ActiveDirectory::Backup(const String& server, const String& domain, const String& user, const String& password,
                             const String& directory, bool truncateLogs)
{
    if (TakesWriterPath())
    {
        BackupThroughWriter(directory, truncateLogs);
        return;
    }
    Api api;
    SetCredentials(api, domain, user, password);
    if (!QueryOnline(api, server))
        Fail(L"Active Directory Server is not online!");

    void* context = nullptr;
    {
        UniqueLibraryBlock<void> token(api.BackupFree);
        DWORD tokenLength = 0;
        const HRESULT hr = api.BackupPrepare(server.c_str(), 0, FullBackup, token.put(), &tokenLength, &context);
        if (hr < 0)
            CallFailed(L"DsBackupPrepare", hr);
        ActiveDirectoryBackupSet backupSet(directory);
        backupSet.Open();
        backupSet.SetExpiration(static_cast<const BYTE*>(token.get()), tokenLength);
        SaveOrThrow(backupSet);
    }

    using ListCall = HRESULT(WINAPI*)(void*, LPWSTR*, LPDWORD);
    const std::pair<ListCall, const wchar_t*> lists[] = {
        {api.BackupGetDatabaseNames, L"DsBackupGetDatabaseNames"},
        {api.BackupGetBackupLogs, L"DsBackupGetBackupLogs"},
    };
    for (const auto& list : lists)
    {
        UniqueLibraryBlock<wchar_t> entries(api.BackupFree);
        DWORD size = 0;
        const HRESULT hr = list.first(context, entries.put(), &size);
        if (hr != 0)
            CallFailed(list.second, hr);
        BackupFileList(api, context, entries.get(), directory);
    }

    if (truncateLogs)
    {
        const HRESULT hr = api.BackupTruncateLogs(context);
        if (hr < 0)
            CallFailed(L"DsBackupTruncateLogs", hr);
    }
    const HRESULT hr = api.BackupEnd(context);
    if (hr < 0)
        CallFailed(L"DsBackupEnd", hr);
}

void ActiveDirectory::BackupFileList(Api& api, void* context, const wchar_t* list, const String& directory)
{
    ActiveDirectoryBackupSet backupSet(directory);
    backupSet.Open();
    std::vector<BYTE> buffer(WriteSize);
    for (const auto& entry : Entries(list))
    {
        const wchar_t marker = entry.first;
        const String& path = entry.second;
        const String name = Files::GetFileName(path);
        // Recorded before it is copied; a marker outside the two lists is copied unrecorded.
        if (IsLogListMarker(marker))
            backupSet.AddLogFile(name, path, marker);
        else if (IsDatabaseListMarker(marker))
            backupSet.AddDatabaseFile(name, path, marker);

        LARGE_INTEGER size = {};
        HRESULT hr = api.BackupOpenFile(context, path.c_str(), ReadSize, &size);
        if (hr != 0)
            CallFailed(L"DsBackupOpenFile", hr);

        const String target = Strings::Format(L"%s\\%s", directory.c_str(), name.c_str());
        // Made as a new file where it can be: the create-or-empty form empties even a new file,
        // and a file emptied and written again is written out whole when it is closed
        // (measured: 0.16 s of a 0.42 s backup of 256 MiB); a new file's data goes out meanwhile.
        const String longTarget = Paths::ToLongPath(target);
        UniqueFileHandle file(CreateFileW(longTarget.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                          nullptr));
        if (!file && GetLastError() == ERROR_FILE_EXISTS)
            file.reset(CreateFileW(longTarget.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
        if (!file)
            Fail(Strings::Format(L"CreateFile(%s) failed.", target.c_str()));

        // The reads are gathered into larger writes: each call costs more than its bytes.
        SparseFileWriter writer(file.get());
        DWORD pending = 0;
        const auto writePending = [&]() {
            if (pending > 0 && !writer.Write(buffer.data(), pending))
                Fail(Strings::Format(L"WriteFile(%s) failed.", target.c_str()));
            pending = 0;
        };
        // The full 64-bit size: databases grow past 4 GiB.
        LONGLONG expected = size.QuadPart;
        do
        {
            DWORD read = 0;
            hr = api.BackupRead(context, buffer.data() + pending, ReadSize, &read);
            if (hr != 0 && hr != EndOfFile)
                CallFailed(L"DsBackupRead", hr);
            if (read == 0)
                break;
            pending += read > ReadSize ? ReadSize : read;
            if (pending + ReadSize > buffer.size())
                writePending();
            expected -= read;
        } while (hr != EndOfFile && expected > 0);
        writePending();
        if (!writer.Finish())
            Fail(Strings::Format(L"WriteFile(%s) failed.", target.c_str()));

        hr = api.BackupClose(context);
        if (hr != 0)
            CallFailed(L"DsBackupClose", hr);
    }
    SaveOrThrow(backupSet);
}

void ActiveDirectory::Restore(const String& server, const String& domain, const String& user, const String& password,
                              const String& directory)
{
    if (TakesWriterPath())
    {
        RestoreThroughWriter(directory);
        return;
    }
    Api api;
    SetCredentials(api, domain, user, password);
    if (QueryOnline(api, server))
        Fail(L"Active Directory Server is running!");

    // Everything the backup holds is checked before the restore is prepared.
    SavedBackup saved = ReadBackup(directory);
    void* context = nullptr;
    HRESULT hr = api.RestorePrepare(server.c_str(), RestoreType, saved.token.data(), saved.tokenLength, &context);
    if (hr < 0)
        Fail(L"DsRestorePrepare failed: " + GetErrorText(hr));

    // The database locations the service names now, else those of the backup; then the logs.
    String list;
    bool recordedLocations = false;
    {
        UniqueLibraryBlock<wchar_t> locations(api.BackupFree);
        DWORD size = 0;
        if (api.RestoreGetDatabaseLocations(context, locations.put(), &size) == 0)
        {
            for (const auto& entry : Entries(locations.get()))
            {
                list.push_back(entry.first);
                list += entry.second;
                list.push_back(L'\0');
            }
        }
        else
        {
            // Its databases and folders only: the logs come from the log list, whose names are checked.
            for (const auto& entry : Entries(saved.databaseFiles.c_str()))
            {
                if (!IsDatabaseMarker(entry.first) && entry.first != LogDirectory && entry.first != CheckpointDirectory)
                    continue;
                list.push_back(entry.first);
                list += entry.second;
                list.push_back(L'\0');
            }
            recordedLocations = true;
        }
    }
    // The directories and databases are the service's: the backup adds its logs only.
    for (const auto& entry : Entries(saved.logFiles.c_str()))
    {
        if (!IsLogAreaMarker(entry.first))
            continue;
        list.push_back(entry.first);
        list += entry.second;
        list.push_back(L'\0');
    }
    list.push_back(L'\0');

    HRESULT result = S_OK;
    String failure;
    // Until the restore is complete, leaving this scope puts the live files back.
    ReplacementSet files;
    try
    {
        if (recordedLocations)
            RefuseForeignLocations(directory, list);
        RestoreFileList(api, context, list.c_str(), directory, files);
    }
    catch (const ActiveDirectoryException& error)
    {
        failure = error.GetDescription();
        result = E_FAIL;
    }
    hr = api.RestoreRegisterComplete(context, result);
    if (hr < 0)
        CallFailed(L"DsRestoreRegisterComplete", hr);
    if (result == S_OK)
        files.Finish();
    hr = api.RestoreEnd(context);
    if (hr < 0)
        CallFailed(L"DsRestoreEnd", hr);
    if (result != S_OK)
        Fail(failure);
}

void ActiveDirectory::RestoreFileList(Api& api, void* context, const wchar_t* list, const String& directory,
                                      ReplacementSet& files)
{
    ActiveDirectoryBackupSet backupSet(directory);
    backupSet.OpenExisting(NoBackup);

    const auto entries = Entries(list);
    StringList logArea;
    StringList databases;
    String logDirectory;
    String backupLogDirectory;
    String checkpointDirectory;
    StringList logs;
    for (const auto& entry : entries)
    {
        switch (entry.first)
        {
        case LogFile:
            logs.push_back(entry.second);
            // fall through
        case LogAreaFile:
        case PatchFile:
            logArea.push_back(entry.second);
            break;
        case DatabaseAreaFile:
        case DatabaseFile:
            databases.push_back(entry.second);
            break;
        case LogDirectory:
            logDirectory = backupLogDirectory = entry.second;
            break;
        case CheckpointDirectory:
            checkpointDirectory = entry.second;
            break;
        default:
            break;
        }
    }

    // Owned here for the one call.
    StringList originals;
    for (const String& path : databases)
        originals.push_back(backupSet.GetDatabaseFile(Files::GetFileName(path)).original);
    StringList newNames(databases);
    std::vector<RestoreMapEntry> map;
    for (size_t i = 0; i < databases.size(); ++i)
        map.push_back({&originals[i][0], &newNames[i][0]});

    if (checkpointDirectory.empty() || logDirectory.empty() || backupLogDirectory.empty())
    {
        const String lastDirectory = Directories::GetDirectory(entries.empty() ? String() : entries.back().second, true);
        for (String* missing : {&checkpointDirectory, &logDirectory, &backupLogDirectory})
            if (missing->empty())
                *missing = lastDirectory;
    }

    // What is copied back, source and destination: logs into the log directory, databases to
    // their own paths.
    std::vector<std::pair<String, String>> copies;
    for (const String& path : logArea)
    {
        const String name = Files::GetFileName(path);
        copies.emplace_back(Strings::Format(L"%s\\%s", directory.c_str(), name.c_str()),
                            Strings::Format(L"%s\\%s", logDirectory.c_str(), name.c_str()));
    }
    for (const String& path : databases)
        copies.emplace_back(Strings::Format(L"%s\\%s", directory.c_str(), Files::GetFileName(path).c_str()), path);

    // The restore only reads its backup: one inside a folder it writes would be replaced by it.
    for (const auto& copy : copies)
    {
        const String written = Directories::GetDirectory(copy.second, true);
        if (Paths::IsSameOrBelow(written, directory))
            Fail(Strings::Format(L"The backup folder %s lies in %s, which the restore writes", directory.c_str(),
                                 written.c_str()));
    }

    // An incomplete backup, or one with an empty database, is refused before the restore is
    // registered. The databases follow the logs in copies.
    for (size_t i = 0; i < copies.size(); ++i)
    {
        bool isDirectory = false;
        if (!Paths::GetAttributes(copies[i].first, isDirectory) || isDirectory)
            Fail(Strings::Format(L"CopyFile(%s, %s) failed.", copies[i].first.c_str(), copies[i].second.c_str()));
        if (i >= logArea.size())
            RefuseEmptyDatabase(copies[i].first);
    }

    ULONG low = 0;
    ULONG high = 0;
    DatabaseLogs::Range(logs, low, high);
    HRESULT hr = api.RestoreRegister(context, checkpointDirectory.c_str(), logDirectory.c_str(),
                                     map.empty() ? nullptr : map.data(), static_cast<LONG>(map.size()),
                                     backupLogDirectory.c_str(), low, high);
    if (hr != 0)
        CallFailed(L"DsRestoreRegister", hr);

    // Every saved file is copied beside its live place before the first live file is replaced,
    // and then only by a rename. A log's recorded path may lead anywhere: the copy goes into the
    // log directory, and only what it replaces there is replaced.
    for (const auto& copy : copies)
        files.Add(copy.first, copy.second);
    // Generation logs the backup does not hold (another database's, on a server rebuilt since the
    // backup) must not follow the restored ones: the service would replay them onto the restored
    // database.
    files.RemoveOthersIn(logDirectory, DatabaseLogs::IsGenerationName);
    if (!files.Stage())
    {
        const String error = ErrorText::FormatLastError();
        Fail(Strings::Format(L"CopyFile(%s, %s) failed. The live files are unchanged.\n%s", files.FailedFrom().c_str(),
                             files.FailedTo().c_str(), error.c_str()));
    }
    if (!files.Commit())
    {
        const String error = ErrorText::FormatLastError();
        const String outcome = files.NotPutBack().empty()
                                   ? String(L"The live files are unchanged.")
                                   : Strings::Format(L"%s could not be put back: it is %s now.",
                                                     files.NotPutBack().c_str(), files.NotPutBackAs().c_str());
        Fail(Strings::Format(L"MoveFile(%s, %s) failed. %s\n%s", files.FailedFrom().c_str(), files.FailedTo().c_str(),
                             outcome.c_str(), error.c_str()));
    }
}

void ActiveDirectory::BackupThroughWriter(const String& directory, bool)
{
    const OperatingSystem system;
    if (system.IsWow64())
    {
        RunSnapshotTool(Strings::Format(L"/writer %s %s \"%s\"", WriterId, WriterComponent, directory.c_str()));
        return;
    }
    String writer = WriterId;
    String component = WriterComponent;
    const std::unique_ptr<CTnVssClientWrapper> client(new CTnVssClientWrapper());
    client->Initialize();
    client->BackupWriterComponent(&writer[0], &component[0], directory.c_str());
}

void ActiveDirectory::RestoreThroughWriter(const String& directory)
{
    const OperatingSystem system;
    if (system.IsWow64())
    {
        RunSnapshotTool(Strings::Format(L"/writerrestore %s %s \"%s\"", WriterId, WriterComponent, directory.c_str()));
        return;
    }
    String writer = WriterId;
    String component = WriterComponent;
    const std::unique_ptr<CTnVssClientWrapper> client(new CTnVssClientWrapper());
    client->Initialize();
    client->RestoreWriterComponent(&writer[0], &component[0], directory.c_str());
}

void ActiveDirectory::RunSnapshotTool(String arguments)
{
    const String folder = Libraries::OwnModuleFolder();
    if (folder.empty())
        Fail(L"GetModuleFileName() failed: " + ErrorText::FormatLastError());
    const String commandLine = L"\"" + folder + SnapshotTool + L"\" " + arguments;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
    {
        const String error = ErrorText::FormatLastError();
        Fail(Strings::Format(L"Could not start %s: %s", commandLine.c_str(), error.c_str()));
    }
    const UniqueKernelHandle process(started.hProcess);
    const UniqueKernelHandle thread(started.hThread);
    {
        // Open for as long as the tool runs.
        const UniqueKernelHandle snapComplete(CreateEventW(nullptr, FALSE, FALSE, L"SnapComplete"));
        WaitForSingleObject(process.get(), INFINITE);
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode))
    {
        const String error = ErrorText::FormatLastError();
        Fail(Strings::Format(L"GetExitCodeProcess(%s) failed: %s", commandLine.c_str(), error.c_str()));
    }
    if (exitCode != 0)
        Fail(Strings::Format(L"%s ended with exit code %lu", commandLine.c_str(), exitCode));
}
