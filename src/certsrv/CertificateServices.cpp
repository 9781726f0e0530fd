#include "certsrv/CertificateServices.h"

#include "certsrv/CertificateServicesBackupSet.h"
#include "errors/CurrentException.h"
#include "files/DatabaseLogs.h"
#include "errors/ErrorText.h"
#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "files/ReplacementSet.h"
#include "files/SparseFileWriter.h"
#include "platform/Libraries.h"
#include "platform/Services.h"
#include "registry/RegistryKey.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <initializer_list>
#include <map>
#include <new>
#include <set>
#include <vector>

namespace
{
    const wchar_t* const LibraryName = L"certadm.dll";
    const wchar_t* const ServiceName = L"CertSvc";
    const wchar_t* const WebServiceName = L"w3svc";
    constexpr DWORD ReadSize = 524288;
    // A service that shows no progress for a minute will not stop: the restore fails before it
    // changes anything instead of waiting for it forever.
    constexpr DWORD ServiceTimeout = 60 * 1000;

    constexpr wchar_t DatabaseMarker = 0x44;
    constexpr wchar_t CheckpointMarker = 0x83;
    constexpr wchar_t LogDirectoryMarker = 0x82;

    // Contexts and handles appear in messages as signed decimal numbers.
    int Number(const void* value)
    {
        return static_cast<int>(reinterpret_cast<INT_PTR>(value));
    }

    String LibraryError(HRESULT status)
    {
        return ErrorText::Format(static_cast<DWORD>(status));
    }

    [[noreturn]] void Throw(const String& message)
    {
        throw CertificateServicesException(message);
    }

    void Print(const String& line)
    {
        const std::string utf8 = Strings::ToUtf8(line);
        fwrite(utf8.data(), 1, utf8.size(), stdout);
        fflush(stdout);
    }

    // A list the library returned: null-terminated entries one after another up to an empty one,
    // never read past the size it gave.
    template <typename Visit>
    void ForEachEntry(const wchar_t* list, DWORD size, Visit visit)
    {
        if (list == nullptr)
            return;
        const wchar_t* const end = list + size / sizeof(wchar_t);
        for (const wchar_t* entry = list; entry < end && *entry != L'\0';)
        {
            const size_t length = wcsnlen(entry, static_cast<size_t>(end - entry));
            visit(String(entry, length));
            entry += length + 1;
        }
    }

    bool IsDotsAndBlanks(const String& part)
    {
        return part.find_first_not_of(L". ") == String::npos;
    }

    String SameCase(const String& directory)
    {
        return Strings::ToUpper(Directories::RemoveBackslash(directory));
    }

    // The library names locations on the server's administrative share: "\\server\C$\x" is
    // "C:\x" there. Anything else stays as it is.
    String LocalPath(const String& serverName, const String& path)
    {
        const size_t share = path.compare(0, 2, L"\\\\") == 0 ? path.find(L'\\', 2) : String::npos;
        if (share == String::npos || path.size() < share + 3 || path[share + 2] != L'$' ||
            !Strings::EqualsNoCase(path.substr(2, share - 2), serverName))
            return path;
        return path.substr(share + 1, 1) + L":" + path.substr(share + 3);
    }

    // A backup names the folders it empties: only the authority's own may be emptied.
    bool IsAuthorityFolder(const String& serverName, const String& directory)
    {
        const String local = SameCase(LocalPath(serverName, directory));
        for (const wchar_t* value : {L"DBDirectory", L"DBLogDirectory", L"DBSystemDirectory", L"DBTempDirectory"})
        {
            String configured;
            if (Registry::GetString(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\CertSvc\\Configuration",
                                    value, configured) == ERROR_SUCCESS &&
                !configured.empty() && SameCase(configured) == local)
                return true;
        }
        return false;
    }

    // Where the authority publishes its certificate and lists: the dynamic files' only place.
    String EnrollFolder()
    {
        wchar_t system[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        return String(system, length < MAX_PATH ? length : 0) + L"\\CertSrv\\CertEnroll";
    }

    // Lengths first, then the form: a name longer than any the library gives is looked at no
    // further, and every name must be one that Windows keeps as written.
    void CheckNames(const String& manifestPath, std::initializer_list<const String*> values,
                    std::initializer_list<const StringList*> lists)
    {
        const auto check = [&manifestPath](const String& name) {
            if (name.size() > CertificateServices::MaxNameLength)
                Throw(Strings::Format(L"Invalid entry in %s: a name of %u characters, more than %u: %s...",
                                      manifestPath.c_str(), static_cast<unsigned>(name.size()),
                                      static_cast<unsigned>(CertificateServices::MaxNameLength),
                                      name.substr(0, 64).c_str()));
            if (!CertificateServices::IsPlainSharePath(name))
                Throw(Strings::Format(L"Invalid entry in %s: %s", manifestPath.c_str(), name.c_str()));
        };
        for (const String* value : values)
            check(*value);
        for (const StringList* names : lists)
            for (const String& name : *names)
                check(name);
    }

    // A link in the backup would make the restore put back files from elsewhere.
    bool PassesThroughLink(const String& directory, const String& source)
    {
        for (size_t at = directory.size(); at != String::npos; at = source.find(L'\\', at + 1))
        {
            const String path = at == directory.size() ? source : source.substr(0, at);
            const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(path).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                return true;
        }
        return false;
    }
}

template <typename Function>
void CertificateServices::Bind(Function& entry, const wchar_t* name)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, name, -1, &narrow[0], size, nullptr, nullptr);
    entry = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(hModule.get(), narrow.c_str())));
    if (entry == nullptr)
        Throw(Strings::Format(L"GetProcAddress(%s) failed: %s", name, ErrorText::FormatLastError().c_str()));
}

CertificateServices::CertificateServices() : hModule(Libraries::LoadFromSystemFolder(LibraryName))
{
    if (!hModule)
        Throw(Strings::Format(L"LoadLibrary(%s) failed: %s", LibraryName, ErrorText::FormatLastError().c_str()));
    Bind(pfnClose, L"CertSrvBackupClose");
    Bind(pfnBackupEnd, L"CertSrvBackupEnd");
    Bind(pfnBackupFree, L"CertSrvBackupFree");
    Bind(pfnGetBackupLogs, L"CertSrvBackupGetBackupLogsW");
    Bind(pfnGetDBNames, L"CertSrvBackupGetDatabaseNamesW");
    Bind(pfnGetDynFiles, L"CertSrvBackupGetDynamicFileListW");
    Bind(pfnOpenFile, L"CertSrvBackupOpenFileW");
    Bind(pfnBackupPrepare, L"CertSrvBackupPrepareW");
    Bind(pfnRead, L"CertSrvBackupRead");
    Bind(pfnTruncateLogs, L"CertSrvBackupTruncateLogs");
    Bind(pfnIsServerOnline, L"CertSrvIsServerOnlineW");
    Bind(pfnRestoreEnd, L"CertSrvRestoreEnd");
    Bind(pfnGetDBLocs, L"CertSrvRestoreGetDatabaseLocationsW");
    Bind(pfnRestorePrepare, L"CertSrvRestorePrepareW");
    Bind(pfnRestoreRegister, L"CertSrvRestoreRegisterW");
    Bind(pfnRestRegComplete, L"CertSrvRestoreRegisterComplete");
    Bind(pfnServerControl, L"CertSrvServerControlW");
}

bool CertificateServices::IsOnline()
{
    bool running = false;
    Services::IsRunning(ServiceName, running);
    return running;
}

UniqueKernelHandle CertificateServices::CreateStartEvent()
{
    UniqueKernelHandle started(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!started)
        Throw(Strings::Format(L"CreateEvent() failed: %s", ErrorText::FormatLastError().c_str()));
    return started;
}

UniqueKernelHandle CertificateServices::StartThread(LPTHREAD_START_ROUTINE routine, void* record, HANDLE started)
{
    UniqueKernelHandle thread(CreateThread(nullptr, 0, routine, record, 0, nullptr));
    if (!thread)
        Throw(Strings::Format(L"CreateThread() failed: %s", ErrorText::FormatLastError().c_str()));
    WaitForSingleObject(started, INFINITE);
    return thread;
}

void CertificateServices::RecordEscapedException(BackupParameters& record) noexcept
{
    record.result = E_FAIL;
    try
    {
        try
        {
            throw;
        }
        catch (const std::bad_alloc&)
        {
            record.result = E_OUTOFMEMORY;
        }
        catch (...)
        {
        }
        record.error += CurrentException::Text();
    }
    catch (...)
    {
        // No memory for the text: the result alone tells that the backup failed.
    }
}

String CertificateServices::SavedFilePath(const String& directory, const String& name)
{
    const String joined = directory + L"\\CertSrv" + name;
    // A share or long-path prefix of the directory itself keeps its two backslashes.
    const size_t keep = joined.compare(0, 2, L"\\\\") == 0 ? 2 : 0;
    String path = joined.substr(0, keep);
    for (size_t i = keep; i < joined.size(); ++i)
    {
        path += joined[i];
        if (joined[i] == L'\\' && i + 1 < joined.size() && joined[i + 1] == L'\\')
            ++i;
    }
    return path;
}

bool CertificateServices::IsSavedNameBelowFolder(const String& name)
{
    if (name.empty() || name[0] != L'\\' || name.find_first_of(L":/") != String::npos)
        return false;
    const String collapsed = SavedFilePath(String(), name).substr(wcslen(L"\\CertSrv"));
    size_t start = 1;
    while (start <= collapsed.size())
    {
        size_t end = collapsed.find(L'\\', start);
        if (end == String::npos)
            end = collapsed.size();
        const String part = collapsed.substr(start, end - start);
        // The system drops trailing dots and blanks, so ". ." is a parent reference too.
        if (part.empty() || IsDotsAndBlanks(part))
            return false;
        start = end + 1;
    }
    return true;
}

bool CertificateServices::IsPlainSharePath(const String& name)
{
    // Server, share and at least one part below the share.
    return name.size() <= MaxNameLength && name.compare(0, 2, L"\\\\") == 0 &&
           std::count(name.begin() + 2, name.end(), L'\\') >= 2 && Paths::IsPlainRelativePath(name.substr(2), name.size());
}

bool CertificateServices::IsLogFileName(const String& name)
{
    return DatabaseLogs::IsGenerationName(Files::GetFileName(name)) && DatabaseLogs::Generation(name) != 0;
}

void CertificateServices::Backup(const String& serverName, const String& directory, bool truncateLogs)
{
    BackupParameters parameters;
    parameters.serverName = serverName;
    parameters.directory = directory;
    parameters.truncateLogs = truncateLogs;
    // A worker that ended without a word has not made a backup.
    parameters.result = E_FAIL;

    const UniqueKernelHandle worker = StartMemberThread(*this, &CertificateServices::PerformBackup, &parameters);
    WaitForSingleObject(worker.get(), INFINITE);
    if (parameters.result != S_OK)
        Throw(parameters.error);
}

void CertificateServices::PerformBackup(BackupParameters* parameters)
{
    BackupParameters& record = *parameters;
    const auto fail = [&record](HRESULT result, const String& message) {
        record.error += message;
        record.result = result;
    };
    try
    {
        if (!IsOnline())
            return fail(E_FAIL, L"CertSrv is not online");

        HCSBC context = nullptr;
        HRESULT status = pfnBackupPrepare(record.serverName.c_str(), 0, CSBACKUP_TYPE_FULL, &context);
        if (FAILED(status))
            return fail(status, Strings::Format(L"CertSrvBackupPrepare(%s) failed: %x\n%s", record.serverName.c_str(),
                                                status, LibraryError(status).c_str()));
        // "<call>(<context>) failed: <status>" for the calls made within the backup.
        const auto failCall = [&](const wchar_t* call, HRESULT callStatus) {
            fail(callStatus, Strings::Format(L"%s(%d) failed: %x\n%s", call, Number(context), callStatus,
                                             LibraryError(callStatus).c_str()));
        };

        CertificateServicesBackupSet manifest(record.directory);
        manifest.Open();
        // False (the failure recorded) when the manifest cannot be written: a backup whose
        // manifest lacks what was copied is no backup.
        const auto save = [&]() {
            if (manifest.Save())
                return true;
            const String error = ErrorText::FormatLastError();
            fail(E_FAIL, Strings::Format(CertificateServicesBackupSet::CouldNotSaveXmlFile,
                                         manifest.GetFilePath().c_str(), error.c_str()));
            return false;
        };

        UniqueLibraryBlock<wchar_t> list(pfnBackupFree);
        DWORD size = 0;
        // Asks for one list and prints its size; false (the failure recorded) when refused.
        const auto query = [&](FNCERTSRVBACKUPGETDATABASENAMESW* function, const wchar_t* call, const wchar_t* what) {
            status = function(context, list.put(), &size);
            if (FAILED(status))
            {
                failCall(call, status);
                return false;
            }
            Print(Strings::Format(L"%d bytes for %s\n", size, what));
            return true;
        };
        // The name of a marked entry, printed with its marker.
        const auto markedName = [](const String& entry) {
            const String name = entry.substr(1);
            Print(Strings::Format(L"%02x: %ws\n", static_cast<unsigned>(entry[0]), name.c_str()));
            return name;
        };
        const auto target = [&record](const String& name) {
            if (!IsSavedNameBelowFolder(name))
                Throw(Strings::Format(L"Invalid file name: %s", name.c_str()));
            return SavedFilePath(record.directory, name);
        };

        if (!query(pfnGetDBLocs, L"GetDBLocs", L"DB locations"))
            return;
        bool unknownLocation = false;
        ForEachEntry(list.get(), size, [&](const String& entry) {
            if (unknownLocation)
                return;
            const String name = markedName(entry);
            if (entry[0] == DatabaseMarker)
                manifest.SetDatabase(name);
            else if (entry[0] == CheckpointMarker)
                manifest.SetCheckpointDir(name);
            else if (entry[0] == LogDirectoryMarker)
                manifest.SetLogDir(name);
            else
                unknownLocation = true;
        });
        if (unknownLocation)
            return fail(E_FAIL, L"Unknown database location");
        list.reset();
        if (!save())
            return;

        if (!query(pfnGetDBNames, L"GetDBNames", L"DB file names"))
            return;
        ForEachEntry(list.get(), size, [&](const String& entry) {
            const String name = markedName(entry);
            const String saved = target(name);
            manifest.AddDatabaseFile(name);
            BackupFile(context, name, saved);
        });
        list.reset();
        if (!save())
            return;

        if (!query(pfnGetBackupLogs, L"GetBackupLogs", L"log file names"))
            return;
        ForEachEntry(list.get(), size, [&](const String& entry) {
            const String name = markedName(entry);
            const String saved = target(name);
            manifest.AddBackupLog(name);
            BackupFile(context, name, saved);
        });
        list.reset();

        if (!query(pfnGetDynFiles, L"GetDynFiles", L"dynamic file names"))
            return;
        String failure;
        ForEachEntry(list.get(), size, [&](const String& name) {
            if (!failure.empty())
                return;
            Print(Strings::Format(L"%ws\n", name.c_str()));
            const String saved = target(name);
            manifest.AddDynamicFile(name);
            const String savedDirectory = Directories::GetDirectory(saved, true);
            if (!Directories::Create(savedDirectory))
                failure = Strings::Format(L"Directories::Create(%s) failed.\n%s", savedDirectory.c_str(),
                                          ErrorText::FormatLastError().c_str());
            else if (!CopyFileW(Paths::ToLongPath(name).c_str(), Paths::ToLongPath(saved).c_str(), TRUE))
                failure = Strings::Format(L"CopyFile(%ws, %s) failed.\n%s", name.c_str(), saved.c_str(),
                                          ErrorText::FormatLastError().c_str());
        });
        if (!failure.empty())
            return fail(E_FAIL, failure);
        list.reset();
        if (!save())
            return;

        // Only a whole backup may cost the server its logs.
        if (record.truncateLogs && FAILED(status = pfnTruncateLogs(context)))
            return failCall(L"TruncateLogs", status);

        if (FAILED(status = pfnBackupEnd(context)))
            return failCall(L"BackupEnd", status);
        record.result = S_OK;
    }
    catch (const TarnException::Exception& exception)
    {
        fail(E_FAIL, exception.GetDescription());
    }
    catch (const std::bad_alloc&)
    {
        fail(E_OUTOFMEMORY, L"Out of memory");
    }
}

void CertificateServices::BackupFile(HCSBC context, const String& name, const String& target)
{
    const String directory = Directories::GetDirectory(target, true);
    if (!Directories::Create(directory))
        Throw(Strings::Format(L"Directories::Create(%s) failed.\n%s", directory.c_str(),
                              ErrorText::FormatLastError().c_str()));

    LARGE_INTEGER size = {};
    HRESULT status = pfnOpenFile(context, name.c_str(), 0, &size);
    if (FAILED(status))
        Throw(Strings::Format(L"pfnOpenFile(%d, %ws) failed: %x\n%s", Number(context), name.c_str(), status,
                              LibraryError(status).c_str()));

    UniqueFileHandle file(CreateFileW(Paths::ToLongPath(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        Throw(Strings::Format(L"CreateFile(%s) failed.\n%s", target.c_str(), ErrorText::FormatLastError().c_str()));

    std::vector<BYTE> buffer(ReadSize);
    SparseFileWriter writer(file.get());
    const ULONGLONG fileSize = static_cast<ULONGLONG>(size.QuadPart);
    for (ULONGLONG written = 0; written < fileSize;)
    {
        DWORD read = 0;
        status = pfnRead(context, buffer.data(), ReadSize, &read);
        // A read that brings nothing before the announced end would never finish the file.
        if (SUCCEEDED(status) && read == 0)
            status = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
        else if (SUCCEEDED(status) && read > ReadSize)
            status = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        if (FAILED(status))
            Throw(Strings::Format(L"pfnRead(%d) failed: %x\n%s", Number(context), status, LibraryError(status).c_str()));
        if (!writer.Write(buffer.data(), read))
            Throw(Strings::Format(L"WriteFile() failed.\n%s", ErrorText::FormatLastError().c_str()));
        written += read;
    }
    if (!writer.Finish())
        Throw(Strings::Format(L"WriteFile() failed.\n%s", ErrorText::FormatLastError().c_str()));

    const HANDLE handle = file.release();
    if (!CloseHandle(handle))
        Throw(Strings::Format(L"CloseHandle(%d) failed.\n%s", Number(handle), ErrorText::FormatLastError().c_str()));

    status = pfnClose(context);
    if (FAILED(status))
        Throw(Strings::Format(L"pfnClose(%d) failed: %x\n%s", Number(context), status, LibraryError(status).c_str()));
}

void CertificateServices::Restore(const String& serverName, const String& directory)
{
    // Everything is read and checked before the service is touched: a backup that cannot be put
    // back whole must not leave the authority stopped or without its database.
    CertificateServicesBackupSet manifest(directory);
    manifest.OpenSaved(L"No Certificate Services backup in %s");
    const String database = manifest.GetDatabase();
    const String checkpointDirectory = manifest.GetCheckpointDir();
    const String logDirectory = manifest.GetLogDir();
    const StringList databaseFiles = manifest.GetDatabaseFiles();
    const StringList backupLogs = manifest.GetBackupLogs();
    const StringList dynamicFiles = manifest.GetDynamicFiles();
    const std::initializer_list<const StringList*> lists = {&databaseFiles, &backupLogs, &dynamicFiles};
    CheckNames(manifest.GetFilePath(), {&database, &checkpointDirectory, &logDirectory}, lists);

    const auto invalid = [&manifest](const String& value) {
        Throw(Strings::Format(L"Invalid entry in %s: %s", manifest.GetFilePath().c_str(), value.c_str()));
    };
    const String databaseDirectory = Directories::GetDirectory(database, true);
    const StringList replaced = {databaseDirectory, checkpointDirectory, logDirectory};
    for (const String& replacedDirectory : replaced)
        if (Directories::IsRoot(replacedDirectory) || !IsAuthorityFolder(serverName, replacedDirectory))
            invalid(replacedDirectory);

    // The restore only reads its backup: one inside a folder it writes would be lost with the
    // files it replaces there.
    const String enrollFolder = EnrollFolder();
    for (const String& written : {LocalPath(serverName, databaseDirectory), LocalPath(serverName, checkpointDirectory),
                                  LocalPath(serverName, logDirectory), enrollFolder})
        if (Paths::IsSameOrBelow(written, directory))
            Throw(Strings::Format(L"The backup folder %s lies in %s, which the restore writes", directory.c_str(),
                                  written.c_str()));

    // Each kind of file goes only where the authority keeps that kind: database files beside the
    // database, logs by their generation in the log folder (the checkpoint folder gets none: the
    // library starts from the registered logs), dynamic files in the enrollment folder.
    const auto folderOf = [&serverName](const String& name) {
        return SameCase(LocalPath(serverName, Directories::GetDirectory(name, true)));
    };
    for (const String& name : databaseFiles)
        if (folderOf(name) != folderOf(database) || !Strings::EqualsNoCase(name.substr(name.size() - 4), L".edb"))
            invalid(name);
    for (const String& name : backupLogs)
        if (folderOf(name) != SameCase(LocalPath(serverName, logDirectory)) || !IsLogFileName(name))
            invalid(name);
    for (const String& name : dynamicFiles)
        if (folderOf(name) != SameCase(enrollFolder))
            invalid(name);

    // Each live file is replaced once, the database among them, and the logs are one run of
    // generations: the range registered with the library is exactly what is put back.
    std::set<String> places;
    for (const StringList* names : lists)
        for (const String& name : *names)
            if (!places.insert(SameCase(LocalPath(serverName, name))).second)
                Throw(Strings::Format(L"Invalid entry in %s: %s is listed twice", manifest.GetFilePath().c_str(),
                                      name.c_str()));
    if (std::none_of(databaseFiles.begin(), databaseFiles.end(),
                     [&database](const String& name) { return Strings::EqualsNoCase(name, database); }))
        Throw(Strings::Format(L"No saved file for the database %s in %s", database.c_str(),
                              manifest.GetFilePath().c_str()));
    if (backupLogs.empty())
        Throw(Strings::Format(L"No saved log in %s", manifest.GetFilePath().c_str()));
    std::map<ULONG, const String*> generations;
    for (const String& name : backupLogs)
        if (!generations.emplace(DatabaseLogs::Generation(name), &name).second)
            Throw(Strings::Format(L"Invalid entry in %s: %s is listed twice", manifest.GetFilePath().c_str(),
                                  name.c_str()));
    const ULONGLONG span = static_cast<ULONGLONG>(generations.rbegin()->first) - generations.begin()->first + 1;
    if (span != generations.size())
        Throw(Strings::Format(L"Invalid entry in %s: the logs %s to %s lack a generation between them",
                              manifest.GetFilePath().c_str(), generations.begin()->second->c_str(),
                              generations.rbegin()->second->c_str()));

    const auto checkSaved = [&](const String& name, bool mayBeEmpty) {
        const String source = SavedFilePath(directory, name);
        if (PassesThroughLink(directory, source))
            Throw(Strings::Format(L"%s leads through a link; the backup holds no links", source.c_str()));
        WIN32_FILE_ATTRIBUTE_DATA saved = {};
        if (!GetFileAttributesExW(Paths::ToLongPath(source).c_str(), GetFileExInfoStandard, &saved) ||
            (saved.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            Throw(Strings::Format(L"CopyFile(%s, %s) failed.\n%s", source.c_str(), name.c_str(),
                                  ErrorText::Format(ERROR_FILE_NOT_FOUND).c_str()));
        // The library's database and logs are never empty: an empty one is a damaged backup.
        if (!mayBeEmpty && saved.nFileSizeHigh == 0 && saved.nFileSizeLow == 0)
            Throw(Strings::Format(L"The saved file %s is empty", source.c_str()));
    };
    for (const String& name : databaseFiles)
        checkSaved(name, false);
    for (const String& name : backupLogs)
        checkSaved(name, false);
    for (const String& name : dynamicFiles)
        checkSaved(name, true);

    StoppedServices stopped(ServiceTimeout);
    try
    {
        stopped.Stop(L"certsvc");
        // The web server hands out the dynamic files: it is stopped before any is replaced.
        bool webServerInstalled = false;
        Services::IsInstalled(WebServiceName, webServerInstalled);
        if (webServerInstalled)
            stopped.Stop(WebServiceName);

        ReplacementSet files;
        for (const StringList* names : lists)
            for (const String& name : *names)
                files.Add(SavedFilePath(directory, name), name);
        for (const String& replacedDirectory : replaced)
            files.RemoveOthersIn(replacedDirectory);
        ReplaceFiles(serverName, files, database, checkpointDirectory, logDirectory, backupLogs);
        stopped.Dismiss();
    }
    catch (const TarnException::Exception& error)
    {
        const String notStarted = stopped.Restart();
        if (notStarted.empty())
            throw;
        Throw(error.GetDescription() + L"\n" + notStarted);
    }
}

void CertificateServices::ReplaceFiles(const String& serverName, ReplacementSet& files, const String& database,
                                       const String& checkpointDirectory, const String& logDirectory,
                                       const StringList& backupLogs)
{
    HCSBC context = nullptr;
    HRESULT status = pfnRestorePrepare(serverName.c_str(), CSRESTORE_TYPE_FULL, &context);
    if (FAILED(status))
        Throw(Strings::Format(L"pfnRestorePrepare(%ws, %d) failed: %x\n%s", serverName.c_str(), Number(context), status,
                              LibraryError(status).c_str()));

    bool registered = false;
    try
    {
        if (!files.Stage())
        {
            const String error = ErrorText::FormatLastError();
            Throw(Strings::Format(L"CopyFile(%s, %s) failed. The live files are unchanged.\n%s",
                                  files.FailedFrom().c_str(), files.FailedTo().c_str(), error.c_str()));
        }

        ULONG lowest = 0;
        ULONG highest = 0;
        DatabaseLogs::Range(backupLogs, lowest, highest);
        String mapped = database;
        CSEDB_RSTMAPW map = {&mapped[0], &mapped[0]};
        status = pfnRestoreRegister(context, checkpointDirectory.c_str(), logDirectory.c_str(), &map, 1,
                                    logDirectory.c_str(), lowest, highest);
        if (status != S_OK)
            Throw(Strings::Format(L"pfnRestoreRegister(%d, %s, %s) failed: %x\n%s", Number(context),
                                  logDirectory.c_str(), logDirectory.c_str(), status, LibraryError(status).c_str()));
        registered = true;

        if (!files.Commit())
        {
            const String error = ErrorText::FormatLastError();
            const String outcome =
                files.NotPutBack().empty()
                    ? String(L"The live files are unchanged.")
                    : Strings::Format(L"%s could not be put back: it is %s now.", files.NotPutBack().c_str(),
                                      files.NotPutBackAs().c_str());
            Throw(Strings::Format(L"MoveFile(%s, %s) failed. %s\n%s", files.FailedFrom().c_str(),
                                  files.FailedTo().c_str(), outcome.c_str(), error.c_str()));
        }

        status = pfnRestRegComplete(context, S_OK);
        if (FAILED(status))
            Throw(Strings::Format(L"pfnRestRegComplete(%d) failed: %x\n%s", Number(context), status,
                                  LibraryError(status).c_str()));
    }
    catch (...)
    {
        // The files go back as they were (with the set); a registration they did not follow is
        // completed as failed, and the library's restore ends either way.
        if (registered)
            pfnRestRegComplete(context, E_FAIL);
        pfnRestoreEnd(context);
        throw;
    }
    files.Finish();

    status = pfnRestoreEnd(context);
    if (FAILED(status))
        Throw(Strings::Format(L"pfnRestoreEnd(%d) failed: %x\n%s", Number(context), status,
                              LibraryError(status).c_str()));
}
