#pragma once
// The Certificate Services component: saves the certification authority's database, logs and
// dynamic files through the backup interface of "certadm.dll", and puts them back with the
// service stopped and the restore registered with that library. The library is loaded by the
// constructor and freed by the destructor; one object serves one backup or one restore.

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "text/Strings.h"

#include <windows.h>
#include <certbcli.h>

#include <functional>

class CertificateServicesBackupSet;
class ReplacementSet;

class CertificateServices
{
public:
    // What the calling thread hands to the backup's worker thread, and gets back from it.
    struct BackupParameters
    {
        String serverName;
        String directory;
        bool truncateLogs = false;
        HRESULT result = E_FAIL;
        String error;
    };

    // Where a backup's progress lines go: the size of each list the library hands out and the
    // names in it, one line at a time with its line end, from the backup's worker thread.
    using ProgressSink = std::function<void(const String& line)>;

    // The default sink: each line to the console (standard output) as UTF-8, as it comes.
    static void WriteToConsole(const String& line);

    // Loads "certadm.dll" and looks up its seventeen entry points in table order. Throws
    // CertificateServicesException "LoadLibrary(%s) failed: %s", or "GetProcAddress(%s) failed: %s"
    // naming the first entry point that is missing. A host that is not a console (a service)
    // passes a sink of its own for the progress lines.
    explicit CertificateServices(ProgressSink progress = WriteToConsole);
    CertificateServices(const CertificateServices&) = delete;
    CertificateServices& operator=(const CertificateServices&) = delete;

    // Copies the database, log and dynamic files of the running server below
    // directory\CertSrv and lists them in directory\CertificateServicesBackupSet.xml, on a worker
    // thread of its own. The logs are truncated (when asked) only once every file is copied and
    // the manifest that lists them saved; a manifest that cannot be saved fails the backup with
    // "Could not save xml file: %s\n%s". Throws CertificateServicesException with the worker's
    // error text (a component exception caught there keeps its own class name inside). What was
    // copied before a failure stays.
    void Backup(const String& serverName, const String& directory, bool truncateLogs);

    // Puts the files listed in directory's manifest back in place. Everything is checked before
    // a service is touched: the manifest's size and its lists' lengths, every name's length and
    // form, that each kind of file goes to its own folder of the authority and each live file
    // once, that the database and a run of logs are there, every saved file (present, no link,
    // database and logs not empty), and that the backup folder lies outside the folders the
    // restore writes ("The backup folder %s lies in %s, which the restore writes"). Then "CertSvc" and a running "w3svc" are stopped (a service that shows no progress
    // for a minute fails the restore), the restore is prepared, every saved file is copied beside
    // its live place, the restore registered with the log range of the saved logs, the live files
    // replaced by renames and the other files of the database, checkpoint and log folders removed.
    // A failure leaves every live file as it was and starts the stopped services again; a
    // registration the files did not follow is completed as failed. The stopped services stay
    // stopped after a restore that succeeded. Throws CertificateServicesException; the manifest's
    // CertificateServicesBackupSetException (also for a folder without one, before anything is
    // touched), ServiceException and FileSystemException pass through.
    void Restore(const String& serverName, const String& directory);

    // Whether the service "CertSvc" runs. ServiceException when it cannot be queried.
    static bool IsOnline();

    // Runs (object.*function)(argument) on a new thread and returns once that thread has taken
    // its start values. The caller owns the handle. Whatever the function throws ends the thread
    // with a failure in the record (E_OUTOFMEMORY or E_FAIL, its text appended to the error),
    // never the host process. Throws CertificateServicesException "CreateEvent() failed: %s" or
    // "CreateThread() failed: %s" when no thread can be made.
    template <typename Object>
    static UniqueKernelHandle StartMemberThread(Object& object, void (Object::*function)(BackupParameters*),
                                                BackupParameters* argument);

    // The worker's body: never throws, every failure goes into the record.
    void PerformBackup(BackupParameters* parameters);

    // Copies one database or log file out of the server to target through the library, in
    // reads of at most 512 KiB. The target must not exist. Throws CertificateServicesException.
    void BackupFile(HCSBC context, const String& name, const String& target);

    // directory + "\CertSrv" + name with every pair of backslashes after the first two
    // characters made one: where a file the library named is kept in the backup.
    static String SavedFilePath(const String& directory, const String& name);

    // Whether a name the library handed out stays below the backup's folder when appended to
    // it: a "\\server\share\..." or "\..." name without "." or ".." parts, streams or slashes.
    static bool IsSavedNameBelowFolder(const String& name);

    // The longest name a restore takes from a manifest: the library names files by paths of the
    // classic length on the server's administrative share, far below this.
    static constexpr size_t MaxNameLength = 1024;

    // Whether a name from a manifest is a path the restore may write as it stands:
    // "\\server\share\..." of at most MaxNameLength characters, at least one part below the
    // share, every part a plain name (Paths::IsPlainName: at most 255 characters, kept by Windows
    // as written).
    static bool IsPlainSharePath(const String& name);

    // Whether a name's file is a log of the authority: "edb", five to eight hexadecimal digits
    // of a generation other than 0, ".log".
    static bool IsLogFileName(const String& name);

private:
    template <typename Function>
    void Bind(Function& entry, const wchar_t* name);

    // The thread half of StartMemberThread: starts routine with record, which holds the event
    // started, and waits until the thread has set it.
    static UniqueKernelHandle CreateStartEvent();
    static UniqueKernelHandle StartThread(LPTHREAD_START_ROUTINE routine, void* record, HANDLE started);
    // Called inside a handler: puts the exception being handled into the record.
    static void RecordEscapedException(BackupParameters& record) noexcept;

    // The library's part of a restore, with the services stopped: prepare, stage, register,
    // replace, complete, end.
    void ReplaceFiles(const String& serverName, ReplacementSet& files, const String& database,
                      const String& checkpointDirectory, const String& logDirectory, const StringList& backupLogs);

    ProgressSink m_progress;
    UniqueLibrary hModule;
    FNCERTSRVBACKUPCLOSE* pfnClose = nullptr;
    FNCERTSRVBACKUPEND* pfnBackupEnd = nullptr;
    FNCERTSRVBACKUPFREE* pfnBackupFree = nullptr;
    FNCERTSRVBACKUPGETBACKUPLOGSW* pfnGetBackupLogs = nullptr;
    FNCERTSRVBACKUPGETDATABASENAMESW* pfnGetDBNames = nullptr;
    FNCERTSRVBACKUPGETDYNAMICFILELISTW* pfnGetDynFiles = nullptr;
    FNCERTSRVBACKUPOPENFILEW* pfnOpenFile = nullptr;
    FNCERTSRVBACKUPPREPAREW* pfnBackupPrepare = nullptr;
    FNCERTSRVBACKUPREAD* pfnRead = nullptr;
    FNCERTSRVBACKUPTRUNCATELOGS* pfnTruncateLogs = nullptr;
    FNCERTSRVISSERVERONLINEW* pfnIsServerOnline = nullptr;
    FNCERTSRVRESTOREEND* pfnRestoreEnd = nullptr;
    FNCERTSRVRESTOREGETDATABASELOCATIONSW* pfnGetDBLocs = nullptr;
    FNCERTSRVRESTOREPREPAREW* pfnRestorePrepare = nullptr;
    FNCERTSRVRESTOREREGISTERW* pfnRestoreRegister = nullptr;
    FNCERTSRVRESTOREREGISTERCOMPLETE* pfnRestRegComplete = nullptr;
    FNCERTSRVSERVERCONTROLW* pfnServerControl = nullptr;
};

template <typename Object>
UniqueKernelHandle CertificateServices::StartMemberThread(Object& object,
                                                          void (Object::*function)(BackupParameters*),
                                                          BackupParameters* argument)
{
    struct StartRecord
    {
        HANDLE started;
        Object* object;
        void (Object::*function)(BackupParameters*);
        BackupParameters* argument;
    };
    struct Routine
    {
        static DWORD WINAPI Run(void* startRecord) noexcept
        {
            // The launcher's record is gone once the event is set.
            const StartRecord record = *static_cast<const StartRecord*>(startRecord);
            SetEvent(record.started);
            // An exception that left a thread's start routine would end the whole host process.
            try
            {
                (record.object->*record.function)(record.argument);
            }
            catch (...)
            {
                RecordEscapedException(*record.argument);
            }
            return 0;
        }
    };
    const UniqueKernelHandle started = CreateStartEvent();
    StartRecord record = {started.get(), &object, function, argument};
    return StartThread(&Routine::Run, &record, started.get());
}
