#pragma once
// Directories on long paths (see files/Paths.h): trailing backslashes and roots, parents,
// creation with every missing folder above, tree copies and deletions.
// They throw FileSystemException only for an empty argument or a path whose root cannot be
// found; every other failure is returned, and the caller reads the system's last error.

#include "text/Strings.h"

#include <windows.h>

namespace Directories
{
    // Appends one backslash unless the last character already is one.
    void AppendBackslash(String& directory);
    String RemoveBackslash(const String& directory);
    // True when the path with a backslash appended is exactly its own root.
    bool IsRoot(const String& path);
    bool Exists(const String& directory);
    bool IsDotEntry(const String& name);
    // The parent directory. With itemPath, a trailing backslash is ignored and a root is its
    // own parent (C:\a\b and C:\a\b\ give C:\a; C:\ gives C:\).
    String GetDirectory(const String& path, bool itemPath);
    // Creates the directory and every missing one above it. False, with the last error set,
    // when it cannot (ERROR_ALREADY_EXISTS when a file holds the name).
    bool Create(const String& directory);
    // Copies a tree, skipping names that begin with "."; 0 or the Win32 error. A missing
    // source copies nothing and gives 0. Files already in the destination are replaced as
    // Files::Copy replaces them. With folderLinks, a folder link (junction, directory symbolic
    // link or other folder reparse point) below the source is neither entered nor copied: its
    // path relative to the source is appended there. Without it, links are copied as the folders
    // they lead to.
    DWORD Copy(const String& source, const String& destination, StringList* folderLinks = nullptr);
    // Deletes what matches the pattern inside the directory, read-only entries included. Stops
    // at the first entry that cannot be removed: false, that entry's code in the last error, and
    // its long path in failedEntry when one is given (and still empty). A missing directory or
    // no match is nothing to delete: true.
    bool DeleteFiles(const String& directory, const String& pattern, String* failedEntry = nullptr);
    // Deletes the tree and the directory itself; a missing directory counts as deleted. Fails
    // as DeleteFiles does.
    bool Delete(const String& directory, String* failedEntry = nullptr);
}
