#pragma once
// Paths: long paths (\\?\ and \\?\UNC\) with one set of rules for roots, trailing backslashes and
// UNC paths; the names a manifest may hand us; whether two paths are one object, or one lies
// below another; the refusal to follow links. They throw FileSystemException only for an empty
// argument or a path whose root cannot be found; every other failure is returned, and the caller
// reads the system's last error.

#include "text/Strings.h"

namespace Paths
{
    // A relative path that stays below the folder it is appended to: no drive, stream or
    // forward slash, no empty part and no part the system reads as "." or ".." (it drops a
    // part's trailing dots and blanks, so ". ." and "..." are ".." to it). For paths that a
    // manifest from anywhere hands us.
    bool IsRelativeBelow(const String& path);
    // One part of a path that Windows stores under exactly that name and opens as a plain file
    // or folder: 1 to 255 characters, no control character, wildcard, stream (":") or other
    // reserved character, no trailing dot or blank (the system drops them, so the name would
    // stand for another file), and no device name with any extension ("NUL.txt", "aux .bat",
    // "COM1", "LPT²", "CLOCK$").
    bool IsPlainName(const String& name);
    // Whether path is at most mostParts plain names separated by single backslashes.
    bool IsPlainRelativePath(const String& path, size_t mostParts);
    // True when the path holds "\\?\" anywhere.
    bool IsLongPath(const String& path);
    // "\\?\C:\x" for a drive path, "\\?\UNC\srv\share\x" for anything else; long paths unchanged.
    String ToLongPath(const String& path);
    // The path as a person writes it: "\\?\C:\x" gives "C:\x", "\\?\UNC\srv\x" gives "\\srv\x";
    // other paths unchanged.
    String FromLongPath(const String& path);
    // Characters of the root: "C:\" or "\\?\C:\", "\\srv\share\" or "\\?\UNC\srv\share\".
    // Throws "Path is invalid" when there is none.
    int GetRootLength(const String& path);
    // Whether the attribute query on the long form succeeds.
    bool Exists(const String& path);
    // False when the attribute query fails; otherwise sets isDirectory when the path is a
    // directory (and leaves it untouched when not).
    bool GetAttributes(const String& path, bool& isDirectory);
    // The path made full against the current directory; the path unchanged when that fails.
    String GetFullPath(const String& path);
    // Whether both paths lead to one file or directory (by volume and file index, so a short name,
    // a share or a link to it counts); false when either cannot be opened.
    bool IsSameObject(const String& one, const String& other);
    // Whether path is folder itself or lies below it. Both are made full and compared by name
    // (case-insensitively, long prefix and trailing backslash aside), then path and each folder
    // above it are compared with folder by identity, so that a short name, a share or a link
    // that leads into folder is recognised too. A folder that does not exist contains nothing
    // but itself by name.
    bool IsSameOrBelow(const String& folder, const String& path);
    // Before writing or deleting path below folder: throws FileSystemException "<path> is not
    // below <folder>" when it is not, and "Refused to follow the link at <part>" when a folder or
    // file between them (folder excluded, path included) is a symbolic link, junction or other
    // reparse point. Parts that do not exist end the check.
    void RefuseLinks(const String& folder, const String& path);
}
