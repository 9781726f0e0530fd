#pragma once
// The boot-files component: saves the loader files, the system catalog, the protected files, the
// protection cache, the performance-counter files, the IIS metabase and the key stores below the
// target directory, and schedules each saved file back to its live place for the next start.

#include "errors/Exceptions.h"
#include "text/Strings.h"

#include <vector>

class CoreBootSystemFiles
{
public:
    // The folder of each group at the top of the target, in the order the restore schedules them:
    // the loader files, the catalog, the protected files, the protection cache, the performance
    // name files and the web server's files.
    static constexpr const wchar_t* GroupFolders[] = {L"BootFiles", L"CatRoot", L"SPF", L"SfcDllCache", L"Perf", L"IIS"};

    // Copies every group into its folder below directory (a live path without its colon below
    // the group's folder; the protection cache's contents directly below "SfcDllCache") and
    // records the machine's boot drive, system root and all-users profile in
    // CoreBootSystemFilesBackupSet.xml. NtBootDD.sys, the web server's configuration files
    // (Metabase.bin, MetaBase.xml, MBSchema.xml), the machine keys and protected files that do
    // not exist are skipped. Throws CoreBootSystemFilesException (memory
    // and standard library failures as "CoreBootSystemFiles::Backup Exception: <what>");
    // the manifest's, file system's and mount manager's exceptions pass through. What was copied
    // before a failure stays.
    static void Backup(const String& directory);

    // Schedules every file saved in directory to replace its live file at the next start, and
    // sets "AllowProtectedRenames". The backup is checked whole first, before anything is staged
    // or created: it may hold only the loader files (NtLdr, Boot.ini and NtDetect.com are
    // required, NtBootDD.sys is not), the catalog folder, files on the system's current
    // protected-file list on the system or boot volume, the protection cache (skipped when the
    // machine has none), the performance name files (Perf?00?.dat, .bak), the web server's
    // configuration (Metabase.bin, MetaBase.xml, MBSchema.xml) and the two key stores, each file
    // once, with names a Windows path can hold, no links, at most 100,000 files, 32 folders deep
    // and 256 MiB each, and a manifest of at most 64 KiB whose paths are at most 260 characters.
    // All or nothing: every saved file is first copied to the staging folder of its
    // destination's volume (<volume root>\SystemStateRestore\<destination without its colon>,
    // see StagingFolder) with the security of the live file it replaces, and only then is each
    // copy scheduled to move, so the backup stays whole and a failure leaves no rename waiting.
    // The staging folders are scheduled for deletion after the renames. Files go back under the
    // current machine's paths: each keeps its path below its group's stored root.
    // Throws CoreBootSystemFilesBackupSetException "No core boot files backup in <directory>"
    // when the directory holds no manifest or no loader files (nothing is written then),
    // CoreBootSystemFilesException for a refused backup or a failure, and the staging folder's
    // refusals as FileSystemException; a rename out of a staging folder that waits for the next
    // start (an earlier restore) is refused before anything is staged. After a failure the
    // staged copies are gone, the pending renames are exactly as they were,
    // "AllowProtectedRenames" is unchanged, and no live file was touched.
    static void Restore(const String& directory);

    // Schedules each staging folder for deletion at the next start, deepest first (a folder is
    // removed only once empty, so after the renames that emptied it).
    static void ScheduleStagingRemoval(std::vector<String> stagingFolders);

    // The flags each scheduled rename passes: replace the live file at the next start.
    static const DWORD MoveFlags;
};
