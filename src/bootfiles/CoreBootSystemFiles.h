#pragma once
// The boot-files component: saves the loader files, the system catalog, the protected files, the
// protection cache, the performance-counter files, the IIS metabase and the key stores below the
// target directory, and schedules each saved file back to its live place for the next start.

#include "common/Exceptions.h"
#include "common/Strings.h"

#include <vector>

class CoreBootSystemFiles
{
public:
    // Copies every group into its folder below directory (a live path without its colon below
    // the group's folder; the protection cache's contents directly below "SfcDllCache") and
    // records the machine's boot drive, system root and all-users profile in
    // CoreBootSystemFilesBackupSet.xml. NtBootDD.sys, the metabase, the machine keys and
    // protected files that do not exist are skipped. Throws CoreBootSystemFilesException (memory
    // and standard library failures as "CoreBootSystemFiles::Backup Exception: <what>");
    // the manifest's, file system's and mount manager's exceptions pass through. What was copied
    // before a failure stays.
    static void Backup(const String& directory);

    // Schedules every file saved in directory to replace its live file at the next start, and
    // sets "AllowProtectedRenames". Each saved file is first copied to a staging folder on its
    // destination's volume (<volume root>\SystemStateRestore\<destination without colon>), and
    // that copy is what moves, so the backup stays whole; the staging folders are scheduled for
    // deletion after the renames. Files go back under the current machine's paths: each keeps its
    // path below its group's stored root. Throws CoreBootSystemFilesBackupSetException
    // "No core boot files backup in <directory>" when the directory holds no manifest (nothing
    // is written then), CoreBootSystemFilesException for a failure; what was scheduled before
    // a failure stays scheduled, and so does the removal of the staging folders it used.
    static void Restore(const String& directory);

    // Schedules every file that pattern matches (a file, a directory with everything below it, or
    // wildcards in the last element) to go to target at the next start, staging each first.
    // A single file goes to target itself; a file below the pattern's directory goes to target +
    // its path below that directory; with an empty target, to the drive path that its path below
    // root spells ("C\WINDOWS\x.dll" goes to "C:\WINDOWS\x.dll"). A destination's missing folder is
    // created. Each staging folder it used is added to stagingFolders (once). A pattern that
    // matches nothing schedules nothing. Throws CoreBootSystemFilesException: a link in the
    // backup, a path below root that names no drive path, a failed staging copy, folder creation
    // or MoveFileEx.
    static void ScheduleMove(const String& root, const String& pattern, const String& target,
                             std::vector<String>& stagingFolders);

    // The staging copy of destination: its volume's root + "SystemStateRestore\" + destination
    // without its colon. Adds the folders from the staged file's up to the SystemStateRestore
    // folder to stagingFolders, each once.
    static String StagingPath(const String& destination, std::vector<String>& stagingFolders);

    // Schedules each staging folder for deletion at the next start, deepest first (a folder is
    // removed only once empty, so after the renames that emptied it).
    static void ScheduleStagingRemoval(std::vector<String> stagingFolders);

    // The flags each scheduled rename passes: replace the live file at the next start.
    static const DWORD MoveFlags;
};
