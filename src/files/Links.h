#pragma once
// Folder links (junctions, and the directory symbolic links of later systems): reading where one
// leads, and making a junction, the one kind of folder link that Windows Server 2003 has.

#include "text/Strings.h"

#include <windows.h>

#include <vector>

namespace Links
{
    // Whether the entry itself (not followed) is a link or other reparse point. False when its
    // attributes cannot be read.
    bool IsLink(const String& path);

    // The full drive path ("C:\x") of the folder that path leads to, every link on the way
    // followed (a folder that is no link and lies below none gives its own full name): the name
    // the file system gives the folder it opens, accepted only when that name, on path's own
    // drive, leads to the same folder. Empty, with the last error set, when path cannot be
    // opened or leads to another volume (ERROR_NOT_SAME_DEVICE).
    String ResolveFolder(const String& path);

    // Makes path a junction to target (a full drive path of a folder, which need not exist yet):
    // creates the folder, then gives it the junction's reparse data. False with the last error
    // set when either step fails; a folder it created is removed again. path's parent must exist.
    bool CreateFolderLink(const String& path, const String& target);

    // The reparse data that makes a folder a junction to target: mount-point tag, "\??\<target>"
    // as the name the system follows, target as the name shown. Empty when it does not fit the
    // 16 KiB a reparse point holds.
    std::vector<BYTE> JunctionData(const String& target);
}
