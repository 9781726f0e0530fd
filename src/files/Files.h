#pragma once
// One file on a long path (see files/Paths.h): copy, existence, deletion, name.
// They throw FileSystemException only for an empty argument or a path whose root cannot be
// found; every other failure is returned, and the caller reads the system's last error.

#include "text/Strings.h"

namespace Files
{
    // Copies one file (data, attributes, last-write time), creating the destination's directory
    // first. Streams through a buffer of at most 256 KiB; false on failure. A file it overwrites
    // is replaced only by a whole copy (made beside it, then renamed over it): a failed copy
    // leaves it as it was.
    bool Copy(const String& source, const String& destination, bool overwrite);
    bool Exists(const String& file);
    bool Delete(const String& file);
    // The text after the last backslash, or the whole path when there is none.
    String GetFileName(const String& path);
}
