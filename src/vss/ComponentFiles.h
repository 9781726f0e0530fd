#pragma once
// Where a writer component's files are: in the live volume, in a shadow copy of it and in a backup
// folder. A writer describes its files by folder, file pattern and recursion; a backup keeps
// each file below <folder>\ntds under a path that mirrors its live path (C:\a\b -> ntds\C\a\b).

#include "text/Strings.h"

#include <vector>

// One of a writer's file descriptors, its folder with environment variables expanded.
struct FileDescriptor
{
    String path;
    String filespec;
    bool recursive = false;
    String alternateLocation;
};

namespace ComponentFiles
{
    // The folder below a backup folder that holds a component's files and documents.
    String ComponentFolder(const String& folder);

    // The volume that holds path ("C:\"), with its trailing backslash. Throws VssClientException.
    String VolumeOf(const String& path);

    // path as seen in the shadow copy of volume (volume being its prefix) at deviceObject.
    String InSnapshot(const String& path, const String& volume, const String& deviceObject);

    // Where a backup in folder keeps the live path. Throws VssClientException for a path without
    // a drive letter.
    String InBackup(const String& folder, const String& path);

    // The files below directory whose names match filespec (one or more patterns separated by
    // ";"), as paths relative to it; in every folder below it too when recursive. A directory that
    // does not exist holds none. Throws VssClientException when a folder cannot be read.
    std::vector<String> Matching(const String& directory, const String& filespec, bool recursive);

    // Whether the writer's alternate location mapping covers the file (relative to the
    // descriptor's folder) of a descriptor; where it then goes is AlternatePath.
    bool IsMapped(const FileDescriptor& mapping, const FileDescriptor& descriptor, const String& relative);
    String AlternatePath(const FileDescriptor& mapping, const FileDescriptor& descriptor, const String& relative);
}
