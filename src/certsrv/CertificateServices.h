#pragma once
// The Certificate Services component: saves the certification authority's database, logs and
// dynamic files through the backup interface of "certadm.dll", and puts them back with the
// service stopped and the restore registered with that library. The library is loaded by the
// constructor and freed by the destructor; one object serves one backup or one restore.

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Strings.h"

#include <windows.h>
#include <certbcli.h>

class CertificateServicesBackupSet;

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

    // Loads "certadm.dll" and looks up its seventeen entry points in table order. Throws
    // CertificateServicesException "LoadLibrary(%s) failed: %s", or "GetProcAddress(%s) failed: %s"
    // naming the first entry point that is missing.
    CertificateServices();
    CertificateServices(const CertificateServices&) = delete;
    CertificateServices& operator=(const CertificateServices&) = delete;

    // Copies the database, log and dynamic files of the running server below
    // directory\CertSrv and lists them in directory\CertificateServicesBackupSet.xml, on a worker
    // thread of its own. Throws CertificateServicesException with the worker's error text
    // (a component exception caught there keeps its own class name inside). What was copied
    // before a failure stays.
    void Backup(const String& serverName, const String& directory, bool truncateLogs);

    // Puts the files listed in directory's manifest back in place: the service "CertSvc" is
    // stopped, the database, checkpoint and log directories emptied and refilled, the restore
    // registered with the log range of the saved logs, "w3svc" stopped when it runs, and the
    // dynamic files copied back. Every saved file is checked to be there before anything is
    // stopped or deleted. Throws CertificateServicesException; the manifest's
    // CertificateServicesBackupSetException (also for a folder without one, before anything is
    // touched), ServiceException and FileSystemException pass through. Nothing is undone.
    void Restore(const String& serverName, const String& directory);

    // Whether the service "CertSvc" runs. ServiceException when it cannot be queried.
    static bool IsOnline();

    // Runs object.*function(argument) on a new thread and returns once that thread has taken
    // its start values. The caller owns the handle. Throws CertificateServicesException
    // "CreateThread() failed: %s" when no thread can be made.
    static UniqueKernelHandle StartMemberThread(CertificateServices& object,
                                                void (CertificateServices::*function)(BackupParameters*),
                                                BackupParameters* argument);

    // The worker's body: never throws, every failure goes into the record.
    void PerformBackup(BackupParameters* parameters);

    // Copies one database or log file out of the server to target through the library, in
    // reads of at most 512 KiB. The target must not exist. Throws CertificateServicesException.
    void BackupFile(HCSBC context, const String& name, const String& target);

    // directory + "\CertSrv" + name with every pair of backslashes after the first two
    // characters made one: where a file the library named is kept in the backup.
    static String SavedFilePath(const String& directory, const String& name);

    // The log generation of a log file's name: the hexadecimal number after the first three
    // characters of its base name (edb0001A.log gives 0x1A); 0 when there is none.
    static ULONG LogGeneration(const String& logName);

    // The lowest and highest generations of the logs, in any order; 0 and 0 for none.
    static void LogRange(const StringList& logNames, ULONG& lowest, ULONG& highest);

    // Whether a name the library handed out stays below the backup's folder when appended to
    // it: a "\\server\share\..." or "\..." name without "." or ".." parts, streams or slashes.
    static bool IsSavedNameBelowFolder(const String& name);

private:
    template <typename Function>
    void Bind(Function& entry, const wchar_t* name);

    // Copies a file back from the backup to where the library named it (N), creating N's
    // directory first.
    static void CopyBack(const String& directory, const String& name);

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
