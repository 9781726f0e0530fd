#pragma once
// Helpers that the parts of src/files share (paths, files, directories, the replacement set):
// the argument check, trailing backslashes, the attribute query's path, two tests of what a
// file is and a whole write. For use inside src/files only.

#include "errors/Exceptions.h"
#include "files/Paths.h"
#include "text/Strings.h"

#include <windows.h>

namespace FilesInternal
{
    inline void ThrowIfEmpty(const String& argument, const wchar_t* message)
    {
        if (argument.empty())
            throw FileSystemException(message);
    }

    inline bool EndsWithBackslash(const String& text)
    {
        return !text.empty() && text.back() == L'\\';
    }

    inline String StripTrailingBackslash(String text)
    {
        if (EndsWithBackslash(text))
            text.pop_back();
        return text;
    }

    // The long form without a trailing backslash, except that a bare drive root keeps it: the
    // attribute query on "\\?\C:" asks about the device, not the root directory.
    inline String LongFormForQuery(const String& path)
    {
        String longPath = StripTrailingBackslash(Paths::ToLongPath(path));
        if (!longPath.empty() && longPath.back() == L':')
            longPath += L'\\';
        return longPath;
    }

    inline bool IsReparsePoint(DWORD attributes)
    {
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }

    inline bool IsSameFile(HANDLE one, HANDLE other)
    {
        BY_HANDLE_FILE_INFORMATION first;
        BY_HANDLE_FILE_INFORMATION second;
        return GetFileInformationByHandle(one, &first) && GetFileInformationByHandle(other, &second) &&
               first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
               first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
    }

    // Writes all of data, in as many calls as the file takes; written counts what reached the file
    // (also when a call fails). A call that writes nothing fails with ERROR_WRITE_FAULT.
    inline bool WriteWhole(HANDLE file, const void* data, DWORD size, DWORD& written)
    {
        for (written = 0; written < size;)
        {
            DWORD piece = 0;
            if (!WriteFile(file, static_cast<const BYTE*>(data) + written, size - written, &piece, nullptr))
                return false;
            if (piece == 0)
            {
                SetLastError(ERROR_WRITE_FAULT);
                return false;
            }
            written += piece;
        }
        return true;
    }
}
