#include "files/Paths.h"

#include "errors/Exceptions.h"
#include "files/Internal.h"
#include "handles/Handles.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

using namespace FilesInternal;

namespace
{
    const wchar_t LongPrefix[] = L"\\\\?\\";
    const wchar_t LongUncPrefix[] = L"\\\\?\\UNC\\";
    const size_t LongUncPrefixLength = 8;
    const size_t UncPrefixLength = 2;
}

namespace Paths
{
    bool IsRelativeBelow(const String& path)
    {
        if (path.empty() || path.find_first_of(L":/") != String::npos)
            return false;
        size_t start = 0;
        for (;;)
        {
            const size_t end = std::min(path.find(L'\\', start), path.size());
            const size_t kept = end == start ? String::npos : path.find_last_not_of(L". ", end - 1);
            if (kept == String::npos || kept < start)
                return false;
            if (end == path.size())
                return true;
            start = end + 1;
        }
    }

    bool IsPlainName(const String& name)
    {
        if (name.empty() || name.size() > 255 || name.back() == L'.' || name.back() == L' ')
            return false;
        for (const wchar_t character : name)
        {
            if (character < 32 || wcschr(L"<>:\"/\\|?*", character) != nullptr)
                return false;
        }
        // The system compares the part before the first dot, trailing blanks dropped.
        String base = Strings::ToUpper(name.substr(0, name.find(L'.')));
        base.erase(base.find_last_not_of(L' ') + 1);
        for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"})
        {
            if (base == device)
                return false;
        }
        // Ports, the superscript digits one to three among them.
        const bool port = base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0);
        return !(port && ((base[3] >= L'0' && base[3] <= L'9') || base[3] == 0xB9 || base[3] == 0xB2 || base[3] == 0xB3));
    }

    bool IsPlainRelativePath(const String& path, size_t mostParts)
    {
        size_t start = 0;
        for (size_t parts = 1; parts <= mostParts; ++parts)
        {
            const size_t end = std::min(path.find(L'\\', start), path.size());
            if (!IsPlainName(path.substr(start, end - start)))
                return false;
            if (end == path.size())
                return true;
            start = end + 1;
        }
        return false;
    }

    String FromLongPath(const String& path)
    {
        if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
            return L"\\\\" + path.substr(8);
        if (path.compare(0, 4, L"\\\\?\\") == 0)
            return path.substr(4);
        return path;
    }

    bool IsLongPath(const String& path)
    {
        ThrowIfEmpty(path, L"Path cannot be empty");
        return path.find(LongPrefix) != String::npos;
    }

    String ToLongPath(const String& path)
    {
        ThrowIfEmpty(path, L"Path cannot be empty");
        if (IsLongPath(path))
            return path;
        if (path.find(L":\\") != String::npos)
            return Strings::Format(L"\\\\?\\%s", path.c_str());
        const String rest = path.compare(0, 2, L"\\\\") == 0 ? path.substr(2) : path;
        return Strings::Format(L"\\\\?\\UNC\\%s", rest.c_str());
    }

    int GetRootLength(const String& path)
    {
        ThrowIfEmpty(path, L"Path cannot be empty");
        const size_t colon = path.find(L':');
        if (colon != String::npos)
        {
            if (colon + 1 < path.size())
                return static_cast<int>(colon + 2);
            throw FileSystemException(L"Path is invalid");
        }

        size_t prefixLength;
        if (path.compare(0, LongUncPrefixLength, LongUncPrefix) == 0)
            prefixLength = LongUncPrefixLength;
        else if (path.compare(0, UncPrefixLength, L"\\\\") == 0)
            prefixLength = UncPrefixLength;
        else
            throw FileSystemException(L"Path is invalid");

        const size_t serverEnd = path.find(L'\\', prefixLength);
        if (serverEnd == String::npos || serverEnd + 2 >= path.size())
            throw FileSystemException(L"Path is invalid");
        size_t shareEnd = path.find(L'\\', serverEnd + 1);
        if (shareEnd == String::npos)
            shareEnd = path.size() - 1;
        return static_cast<int>(shareEnd + 1);
    }

    bool Exists(const String& path)
    {
        ThrowIfEmpty(path, L"Path cannot be empty");
        return GetFileAttributesW(ToLongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    bool GetAttributes(const String& path, bool& isDirectory)
    {
        ThrowIfEmpty(path, L"Path cannot be empty");
        const DWORD attributes = GetFileAttributesW(ToLongPath(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return false;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            isDirectory = true;
        return true;
    }

    String GetFullPath(const String& path)
    {
        const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
        if (size == 0)
            return path;
        String full(size, L'\0');
        const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
        if (length == 0 || length >= size)
            return path;
        full.resize(length);
        return full;
    }

    bool IsSameObject(const String& one, const String& other)
    {
        const auto open = [](const String& path) {
            return UniqueFileHandle(CreateFileW(ToLongPath(GetFullPath(path)).c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        };
        const UniqueFileHandle first = open(one);
        const UniqueFileHandle second = open(other);
        return first && second && IsSameFile(first.get(), second.get());
    }

    bool IsSameOrBelow(const String& folder, const String& path)
    {
        if (folder.empty() || path.empty())
            return false;
        const String fullFolder = StripTrailingBackslash(FromLongPath(GetFullPath(folder)));
        String fullPath = StripTrailingBackslash(FromLongPath(GetFullPath(path)));
        if (Strings::EqualsNoCase(fullPath, fullFolder) || Strings::StartsWithNoCase(fullPath, fullFolder + L"\\"))
            return true;
        if (!Exists(fullFolder))
            return false;
        int rootLength = 0;
        try
        {
            rootLength = GetRootLength(fullPath);
        }
        catch (const FileSystemException&)
        {
            return false;
        }
        // Up from the path, by identity: a share or a link may name the folder another way.
        for (;;)
        {
            if (Exists(fullPath) && IsSameObject(fullPath, fullFolder))
                return true;
            const size_t cut = fullPath.find_last_of(L'\\');
            if (cut == String::npos || static_cast<int>(cut + 1) <= rootLength)
                return false;
            fullPath.erase(cut);
        }
    }

    void RefuseLinks(const String& folder, const String& path)
    {
        ThrowIfEmpty(folder, L"Folder cannot be empty");
        const String base = StripTrailingBackslash(folder);
        if (path.size() <= base.size() + 1 || !Strings::StartsWithNoCase(path, base + L"\\"))
            throw FileSystemException(Strings::Format(L"%s is not below %s", path.c_str(), folder.c_str()));
        size_t end = base.size();
        while (end < path.size())
        {
            end = std::min(path.find(L'\\', end + 1), path.size());
            const String part = path.substr(0, end);
            const DWORD attributes = GetFileAttributesW(LongFormForQuery(part).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES)
                return;
            if (IsReparsePoint(attributes))
                throw FileSystemException(Strings::Format(L"Refused to follow the link at %s", part.c_str()));
        }
    }
}
