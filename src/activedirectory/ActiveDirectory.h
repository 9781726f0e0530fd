#pragma once
// The directory component: the directory database and logs of a domain controller, through the
// directory backup API (ntdsbcli.dll, loaded for each operation) or, on servers of version 6 and
// later, through the directory's VSS writer (QmVss.dll, or x64\dozeZuz.exe beside the module for
// a 32-bit process on 64-bit Windows). Every failure is thrown as ActiveDirectoryException
// unless said otherwise; the manifest's own failures pass through.

#include "text/Strings.h"

#include <windows.h>

class ReplacementSet;

class ActiveDirectory
{
public:
    // The directory writer's component; the writer path hands its files over into a folder of
    // this name at the top of the target, and writes no manifest.
    static constexpr const wchar_t* WriterComponent = L"ntds";

    // The type markers of the API's entry lists that the component acts on.
    enum Marker : wchar_t
    {
        LogAreaFile = 0x20,
        LogFile = 0x21,
        PatchFile = 0x25,
        DatabaseAreaFile = 0x40,
        DatabaseFile = 0x44,
        LogDirectory = 0x82,
        CheckpointDirectory = 0x83,
    };

    // Sets online from the server's directory service; TRUE without asking on a server that
    // takes the writer path. Throws with the error text of the API's code alone.
    void IsOnline(const String& server, BOOL& online);

    // Copies the database and logs into directory and writes ActiveDirectoryBackupSet.xml.
    // Throws "Active Directory Server is not online!" when the service does not run.
    void Backup(const String& server, const String& domain, const String& user, const String& password,
                const String& directory, bool truncateLogs);

    // Puts the saved files back and registers the restore; the service must not run. Reads the
    // manifest of an earlier backup and never creates one; before the restore is prepared, refuses
    // a backup that holds more than a directory backup does (no database, an empty one, a log that
    // is no edb<hex generation>.log, a file listed twice, counts, lengths or a token size past
    // their limits), and before it is registered, a backup folder that lies in a folder the restore
    // writes. Every saved file is copied beside its live place before a
    // live file is replaced, by renames; a failure leaves the live files as they were ("The live
    // files are unchanged."), and still completes (as failed) and ends the restore before it is
    // thrown.
    void Restore(const String& server, const String& domain, const String& user, const String& password,
                 const String& directory);

    // The English text of a directory backup or database engine code; "Unknown error" for any
    // other. Never fails.
    static String GetErrorText(HRESULT code);

    // The writer path. A tool or library that fails throws; the library's own exceptions pass
    // through unchanged.
    void BackupThroughWriter(const String& directory, bool truncateLogs);
    void RestoreThroughWriter(const String& directory);

    // Starts x64\dozeZuz.exe from the folder of the module holding this code, with arguments,
    // and waits for it. Throws "Could not start %s: %s" (command line, last error text) when it
    // cannot be started, "%s ended with exit code %lu" when it ends with a code other than 0.
    void RunSnapshotTool(String arguments);

    // An entry list: marker, path and NUL per entry, one more NUL at the end. RestoreFileList
    // registers the restore and puts the files in place through files, which the caller finishes
    // once the restore is complete.
    class Api;
    void BackupFileList(Api& api, void* context, const wchar_t* list, const String& directory);
    void RestoreFileList(Api& api, void* context, const wchar_t* list, const String& directory,
                         ReplacementSet& files);
};
