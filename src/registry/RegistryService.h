#pragma once
// The registry component: saves every loaded hive into the target directory with its manifest,
// and prepares the saved hives to replace the live ones at the next start. The key-tree copy
// lives here because the restore uses it to carry keys that must not be restored from the live
// registry into a saved hive.

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "files/StagingFolder.h"
#include "text/Strings.h"

#include <windows.h>

#include <vector>

class HiveFileEntry;

class RegistryService
{
public:
    // Saves every hive of the hive list that has a file on a volume (neither the boot store nor
    // a hive without a file) below directory\Reg\<drive letter>\<the file's path>, and lists
    // them in directory\RegistryBackupSet.xml. The caller must hold the backup privilege,
    // enabled. Throws RegistryServiceException (a key wrapper failure as "CRegistryKey::Exception
    // thrown"); MountManagerException and the manifest's and file system's exceptions pass
    // through. Hive files saved before a failure stay on disk.
    static void Backup(const String& directory);

    // Saves root\subkey with everything below it into file, creating file's directory first.
    // False, with nothing created or written, when the key does not exist; throws
    // RegistryServiceException.
    static bool SaveRegistrySubKey(HKEY root, const String& subkey, const String& file);

    // Splits a hive file's NT path into its device ("\Device\HarddiskVolume1") and the path
    // on that device ("WINDOWS\system32\config\SAM"). False for a path that is not to be saved
    // (the boot store, or no "\Device\" at all). Throws RegistryServiceException
    // "Invalid registry value found in: ..." when the device part has no closing backslash or
    // the path on the device would not stay below the folder it is copied to.
    static bool SplitHiveFile(const String& hiveFile, String& device, String& path);

    // Prepares every hive listed in directory\RegistryBackupSet.xml to replace the live one at
    // the next start; a directory without a manifest gets an empty one and nothing is restored.
    // The backup is only read: each hive's files go to "<staging folder of the live hive's
    // volume>\Registry\<its filepath>" + ".work" (the copy that is loaded), ".tmp" (the
    // replacement, with the live hive file's security) and ".bak" (where the platform keeps the
    // live hive it replaces); see StagingFolder for that folder's rules. The live hive's file is
    // the one the live hive list names, or the manifest's for a hive that is not loaded now.
    // All or nothing: every hive is prepared and every live hive opened before the first
    // replacement is scheduled, so a failure before that schedules nothing, and the replacements
    // it prepared are removed. Can be run again after a failed or completed restore. The caller
    // must hold the backup and restore privileges, enabled. Throws RegistryServiceException; the
    // manifest's, the mount manager's and the staging folder's (FileSystemException) pass through.
    static void Restore(const String& directory);

    // Restores one hive: PrepareHive, then, unless it is a user hive that is not loaded now,
    // schedules its replacement ".tmp" to replace the live hive, whose copy goes to ".bak" (one
    // left by an earlier restore is set aside meanwhile, and removed once the new replacement is
    // scheduled). Throws as PrepareHive, and RegistryServiceException when the live hive cannot
    // be opened or replaced.
    static void RestoreHive(const String& regDirectory, HiveFileEntry entry);

    // Loads a working copy of the saved hive (".work", deleted on every way out) under
    // root\TMP_<subkey>, carries the keys not to restore over from the live system (SYSTEM),
    // clears LastAliveStamp (SOFTWARE) and writes it to the replacement ".tmp" (replacing a stale
    // one; a replacement of its own is removed again when a later step fails). Throws
    // RegistryServiceException: "Invalid hive file path: ..." for a file path that leaves
    // regDirectory, before anything is touched; "<file> is in use: ..." for a ".tmp" or ".bak"
    // that the platform still holds for a replacement scheduled earlier; a failing call.
    // CRegistryKey::Exception from the key wrapper passes through.
    static void PrepareHive(const String& regDirectory, const HiveFileEntry& entry);

    // Depth-first search below root\path for the first value named "start" (any case): a DWORD
    // gives its value, anything else its text read as a decimal number (0 when it is none).
    // False when there is none. Throws CRegistryKey::Exception when a key cannot be opened.
    static bool FindStart(HKEY root, const String& path, int& start);

    // Replaces destinationRoot\destinationSubkey with a copy of sourceRoot\sourceSubkey (classes,
    // values of every type and size, the whole tree). A missing source leaves the destination
    // deleted and is no error. Throws RegistryServiceException when the copy fails, and passes on
    // CRegistryKey::Exception when the old destination cannot be deleted.
    static void CopyRegistryKey(HKEY sourceRoot, const String& sourceSubkey, HKEY destinationRoot,
                                const String& destinationSubkey);

    // The operations below never throw: they give false and leave the failing call's code as the
    // thread's last error.

    // Copies one key with everything below it into the destination (created when missing).
    static bool CopyKey(HKEY sourceRoot, const String& sourceSubkey, HKEY destinationRoot,
                        const String& destinationSubkey);

    // Copies every subkey of an open key (read access) below an open key (write access).
    static bool CopySubkeys(HKEY source, HKEY destination);

    // Copies every value of an open key (read access) into an open key (write access).
    static bool CopyValues(HKEY source, HKEY destination);

    // Copies one value (type and data) into the destination key, created when missing.
    static bool CopyValue(HKEY sourceRoot, const String& sourceSubkey, const String& sourceName,
                          HKEY destinationRoot, const String& destinationSubkey, const String& destinationName);

private:
    struct HiveFiles;

    // PrepareHive with the files worked out; the staging folders it checked or made are added
    // to stagingFolders.
    static void Prepare(const HiveFileEntry& entry, const HiveFiles& files, StagingFolder::Folders& stagingFolders);

    // Opens the live hive of entry for its replacement; false for a user hive that is not loaded.
    static bool OpenLiveHive(const HiveFileEntry& entry, UniqueRegKey& live);

    // Schedules the prepared replacement of one hive, whose live key is open in live.
    static void ScheduleHive(const HiveFileEntry& entry, const HiveFiles& files, UniqueRegKey& live);

    // Brings every key, child key and value that the live KeysNotToRestore list names from the
    // live hive root\subkey into its saved copy root\temporaryName.
    static void CopyKeysNotToRestore(HKEY root, const String& subkey, const String& temporaryName);
};
