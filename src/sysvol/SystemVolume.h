#pragma once
// The SysVol component: copies the SysVol tree below the Windows directory into the target
// directory, and back over the live tree in directory-services restore mode.

#include "common/Strings.h"

class SystemVolume
{
public:
    // Records the copy's place in directory\SystemVolumeBackupSet.xml, then copies
    // %SystemRoot%\SysVol to directory\SysVol\<that path without its colon>. Throws
    // SystemVolumeException (a missing live tree is a failure: a domain controller has one);
    // the manifest's and file system's exceptions pass through. Files copied before a failure
    // stay, and the manifest already names the copy.
    static void Backup(const String& directory);

    // Copies the tree that directory's manifest names over %SystemRoot%\SysVol: files the copy
    // holds are overwritten, other live files stay. Creates nothing in directory. Throws
    // SystemVolumeBackupSetException or SystemVolumeException "No SysVol backup in <directory>"
    // when the manifest or the copy is missing, SystemVolumeException for a manifest whose path
    // leads out of the copy folder or a failed copy.
    static void Restore(const String& directory);
};
