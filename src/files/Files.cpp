#include "files/Files.h"

#include "files/Directories.h"
#include "files/FileCopier.h"
#include "files/Internal.h"
#include "files/Paths.h"

#include <windows.h>

using namespace FilesInternal;

namespace Files
{
    bool Copy(const String& source, const String& destination, bool overwrite)
    {
        ThrowIfEmpty(source, L"Source file cannot be empty");
        ThrowIfEmpty(destination, L"Destination file cannot be empty");
        const String longSource = Paths::ToLongPath(source);
        const String longDestination = Paths::ToLongPath(destination);
        if (!Directories::Create(Directories::GetDirectory(longDestination, true)))
            return false;
        FileCopier copier;
        return copier.Copy(longSource, longDestination, !overwrite);
    }

    bool Exists(const String& file)
    {
        ThrowIfEmpty(file, L"File cannot be empty");
        return Paths::Exists(file);
    }

    bool Delete(const String& file)
    {
        ThrowIfEmpty(file, L"File cannot be empty");
        return DeleteFileW(Paths::ToLongPath(file).c_str()) != FALSE;
    }

    String GetFileName(const String& path)
    {
        ThrowIfEmpty(path, L"PathFileName cannot be empty");
        const size_t lastBackslash = path.rfind(L'\\');
        return lastBackslash == String::npos ? path : path.substr(lastBackslash + 1);
    }
}
