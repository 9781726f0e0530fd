#pragma once
// The SysVol component: copies the SysVol tree below the Windows directory into the target
// directory, and back over the live tree in directory-services restore mode.
//
// Folder links of the live tree (a domain controller's sysvol\<domain> leads to its domain
// folder) are not copied: the manifest records each as a <link> element, its path and the path
// of the folder it leads to both below the tree (see SystemVolumeBackupSet.h). The restore makes
// a recorded link again as a junction where the live tree has none, and leaves a live link as
// it is. A saved tree that holds a link itself is never followed: the restore refuses it.

#include "text/Strings.h"

class SystemVolume
{
public:
    // Records the copy's place in directory\SystemVolumeBackupSet.xml, then copies
    // %SystemRoot%\SysVol to directory\SysVol\<that path without its colon>, and records the
    // tree's folder links. Throws SystemVolumeException (a missing live tree is a failure: a
    // domain controller has one; so is a link that leads out of the tree); the manifest's and
    // file system's exceptions pass through. Files copied before a failure stay, and the
    // manifest already names the copy.
    static void Backup(const String& directory);

    // Lays the tree that directory's manifest names over %SystemRoot%\SysVol: files the copy
    // holds are replaced, other live files stay, recorded links missing from the live tree are
    // made. Only reads directory. Everything is checked before the first write: a directory
    // equal to or below the live tree, a missing manifest, a copy that is missing or holds no
    // file ("No SysVol backup in <directory>"), paths that lead out of their folder, a name
    // Windows cannot hold, a link anywhere in the saved tree, a saved name that is another
    // (short) name of a live entry, a live link, file or folder where the saved tree has
    // something else, and every size, count and depth past what a backup holds (the manifest's
    // size before it is loaded, the saved tree's entries and depth as it is read). Then files
    // are copied beside their live places and swapped in by renames; a failure undoes every step
    // before it, leaving the live tree as it was. Throws SystemVolumeBackupSetException or
    // SystemVolumeException.
    static void Restore(const String& directory);
};
