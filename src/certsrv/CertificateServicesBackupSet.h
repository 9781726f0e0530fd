#pragma once
// The Certificate Services manifest, "CertificateServicesBackupSet.xml": where the
// certification authority keeps its database, checkpoint and log directories, and the database,
// dynamic and log files saved, each list newest first, every file by the name the library gave it.

#include "common/BackupSet.h"
#include "common/Exceptions.h"
#include "common/Strings.h"

class CertificateServicesBackupSet : public BackupSet<CertificateServicesBackupSetException>
{
public:
    static constexpr const wchar_t* FileName = L"CertificateServicesBackupSet.xml";

    // Sets the path; reads and writes nothing.
    explicit CertificateServicesBackupSet(const String& directory);

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
    StringList GetDatabaseFiles() const { return GetListTexts(DatabaseFiles); }
    StringList GetDynamicFiles() const { return GetListTexts(DynamicFiles); }
    StringList GetBackupLogs() const { return GetListTexts(BackupLogs); }

private:
    static constexpr const wchar_t* DatabaseFiles = L"/BackupSet/databasefiles";
    static constexpr const wchar_t* DynamicFiles = L"/BackupSet/dynamicfiles";
    static constexpr const wchar_t* BackupLogs = L"/BackupSet/backuplogs";

    void AddFile(const wchar_t* list, const String& name);
};
