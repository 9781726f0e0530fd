#pragma once
// The Certificate Services manifest, "CertificateServicesBackupSet.xml": where the
// certification authority keeps its database, checkpoint and log directories, and the database,
// dynamic and log files saved, each list newest first, every file by the name the library gave it.

#include "xml/BackupSet.h"
#include "errors/Exceptions.h"
#include "text/Strings.h"

class CertificateServicesBackupSet : public BackupSet<CertificateServicesBackupSetException>
{
public:
    static constexpr const wchar_t* FileName = L"CertificateServicesBackupSet.xml";

    // What a manifest of this component can hold: larger ones are refused before they are read
    // further. An authority has one database file; its logs stay far below 65536 between two
    // backups that truncate them, and its enrollment folder holds a certificate and lists per
    // key; 8 MiB holds every list at its limit.
    static constexpr DWORD MaxBytes = 8 * 1024 * 1024;
    static constexpr size_t MaxDatabaseFiles = 16;
    static constexpr size_t MaxBackupLogs = 65536;
    static constexpr size_t MaxDynamicFiles = 4096;

    // Sets the path; reads and writes nothing.
    explicit CertificateServicesBackupSet(const String& directory);

    // For a restore: OpenExisting, after refusing a manifest larger than MaxBytes unread
    // ("The manifest %s is larger than %u bytes").
    void OpenSaved(const wchar_t* noBackupFormat);

    String GetDatabase() const { return GetElementText(L"/BackupSet/database"); }
    void SetDatabase(const String& database) { SetElementText(L"/BackupSet/database", database); }
    String GetCheckpointDir() const { return GetElementText(L"/BackupSet/checkpointdir"); }
    void SetCheckpointDir(const String& directory) { SetElementText(L"/BackupSet/checkpointdir", directory); }
    String GetLogDir() const { return GetElementText(L"/BackupSet/logdir"); }
    void SetLogDir(const String& directory) { SetElementText(L"/BackupSet/logdir", directory); }

    // Each adds a <file> in front of the list, in memory only. Throws
    // CertificateServicesBackupSetException when the manifest lacks the list element.
    void AddDatabaseFile(const String& name) { AddFile(DatabaseFiles, name); }
    void AddDynamicFile(const String& name) { AddFile(DynamicFiles, name); }
    void AddBackupLog(const String& name) { AddFile(BackupLogs, name); }

    // The names in document order (newest first); empty when the list element is missing.
    // A list longer than its limit is refused once its first entry past the limit is reached:
    // "The manifest %s lists more than %u files in %s".
    StringList GetDatabaseFiles() const { return GetLimitedList(DatabaseFiles, MaxDatabaseFiles); }
    StringList GetDynamicFiles() const { return GetLimitedList(DynamicFiles, MaxDynamicFiles); }
    StringList GetBackupLogs() const { return GetLimitedList(BackupLogs, MaxBackupLogs); }

private:
    static constexpr const wchar_t* DatabaseFiles = L"/BackupSet/databasefiles";
    static constexpr const wchar_t* DynamicFiles = L"/BackupSet/dynamicfiles";
    static constexpr const wchar_t* BackupLogs = L"/BackupSet/backuplogs";

    void AddFile(const wchar_t* list, const String& name);
    StringList GetLimitedList(const wchar_t* list, size_t limit) const;
};
