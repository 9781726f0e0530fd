#pragma once
// The one-file copy under Files::Copy, Directories::Copy and ReplacementSet::Stage. For use inside
// src/files only.

#include "text/Strings.h"

#include <windows.h>

#include <memory>

namespace FilesInternal
{
    // Copies files one after another through one buffer, so that a tree of small files neither
    // allocates for each file nor holds more than the largest piece it moved.
    class FileCopier
    {
    public:
        // Copies data, attributes and last-write time of one file, as the system's copy call
        // does. Both paths are long paths. A destination left half-written is deleted. False
        // with the failing call's error as the thread's last error.
        // A tree copy passes what its directory listing says of the source (attributes, size,
        // last-write time), which saves three queries a file.
        bool Copy(const String& source, const String& destination, bool failIfExists,
                  const WIN32_FIND_DATAW* listed = nullptr);

        // Copies over an existing file without ever losing it: the copy is made beside it and
        // takes its place only once it is whole.
        bool Replace(const String& source, const String& destination, const WIN32_FIND_DATAW* listed);

    private:
        // Reads to the end, whatever the size the file had when it was opened. A read that comes
        // back short once the expected size is in is the end: asking again only to be told so
        // would cost a call for every small file of a tree.
        bool CopyData(HANDLE input, HANDLE output, ULONGLONG expectedSize);

        // A buffer for a file of the given size: the limit for big files, a little more than the
        // file for small ones, grown as bigger files come.
        char* Buffer(ULONGLONG fileSize);

        std::unique_ptr<char[]> m_buffer;
        DWORD m_size = 0;
    };
}
