#pragma once
// Helpers that the parts of src/files share (paths, files, directories, the replacement set):
// the argument check, trailing backslashes, the attribute query's path and two tests of what a
// file is. For use inside src/files only.

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
}
