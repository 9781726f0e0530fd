#include "vss/ComponentFiles.h"

#include "errors/ErrorText.h"
#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "vss/VssClientException.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwctype>

namespace
{
    bool SameText(const String& one, const String& other)
    {
        return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, one.c_str(), static_cast<int>(one.size()),
                              other.c_str(), static_cast<int>(other.size())) == CSTR_EQUAL;
    }

    void Collect(const String& directory, const String& relative, const String& filespec, bool recursive,
                 std::vector<String>& found)
    {
        const String folder = relative.empty() ? directory : directory + L"\\" + relative;
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW(Paths::ToLongPath(folder + L"\\*").c_str(), &entry));
        if (!search)
        {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES)
                return;
            throw VssClientException(Strings::Format(L"The folder %s cannot be read: %s", folder.c_str(),
                                                     ErrorText::Format(error).c_str()));
        }
        std::vector<String> folders;
        do
        {
            const String name = entry.cFileName;
            const String path = relative.empty() ? name : relative + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (recursive && !Directories::IsDotEntry(name))
                    folders.push_back(path);
            }
            else if (PathMatchSpecW(name.c_str(), filespec.c_str()))
                found.push_back(path);
        } while (FindNextFileW(search.get(), &entry));
        for (const String& below : folders)
            Collect(directory, below, filespec, recursive, found);
    }

    String WithoutBackslash(const String& path)
    {
        return path.size() > 3 && path.back() == L'\\' ? path.substr(0, path.size() - 1) : path;
    }
}

namespace ComponentFiles
{
    String ComponentFolder(const String& folder)
    {
        return WithoutBackslash(folder) + L"\\ntds";
    }

    String VolumeOf(const String& path)
    {
        std::vector<wchar_t> volume(path.size() + 2);
        if (!GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
        {
            const String error = ErrorText::FormatLastError();
            throw VssClientException(
                Strings::Format(L"GetVolumePathName(%s) failed: %s", path.c_str(), error.c_str()));
        }
        String result = volume.data();
        Directories::AppendBackslash(result);
        return result;
    }

    String InSnapshot(const String& path, const String& volume, const String& deviceObject)
    {
        String rest = path.size() > volume.size() ? path.substr(volume.size()) : String();
        return WithoutBackslash(deviceObject) + (rest.empty() ? L"" : L"\\" + rest);
    }

    String InBackup(const String& folder, const String& path)
    {
        if (path.size() < 2 || path[1] != L':' || !iswalpha(path[0]) || (path.size() > 2 && path[2] != L'\\'))
            throw VssClientException(
                Strings::Format(L"The writer names the folder %s, which has no drive letter; it cannot be backed up",
                                path.c_str()));
        const String rest = path.size() > 3 ? WithoutBackslash(path.substr(3)) : String();
        return ComponentFolder(folder) + L"\\" + path.substr(0, 1) + (rest.empty() ? L"" : L"\\" + rest);
    }

    std::vector<String> Matching(const String& directory, const String& filespec, bool recursive)
    {
        std::vector<String> found;
        Collect(WithoutBackslash(directory), String(), filespec, recursive, found);
        return found;
    }

    bool IsMapped(const FileDescriptor& mapping, const FileDescriptor& descriptor, const String& relative)
    {
        const String mappingPath = WithoutBackslash(mapping.path);
        const String descriptorPath = WithoutBackslash(descriptor.path);
        const size_t slash = relative.rfind(L'\\');
        const String name = slash == String::npos ? relative : relative.substr(slash + 1);
        const String folder = slash == String::npos ? descriptorPath : descriptorPath + L"\\" + relative.substr(0, slash);
        if (!PathMatchSpecW(name.c_str(), mapping.filespec.c_str()))
            return false;
        if (SameText(folder, mappingPath))
            return true;
        // A recursive mapping also covers the folders below its own.
        return mapping.recursive && folder.size() > mappingPath.size() && folder[mappingPath.size()] == L'\\' &&
               SameText(folder.substr(0, mappingPath.size()), mappingPath);
    }

    String AlternatePath(const FileDescriptor& mapping, const FileDescriptor& descriptor, const String& relative)
    {
        const String full = WithoutBackslash(descriptor.path) + L"\\" + relative;
        return WithoutBackslash(mapping.alternateLocation) + full.substr(WithoutBackslash(mapping.path).size());
    }
}
