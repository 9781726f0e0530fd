#include "files/Directories.h"

#include "files/FileCopier.h"
#include "files/Files.h"
#include "files/Internal.h"
#include "files/Paths.h"
#include "handles/Handles.h"

using namespace FilesInternal;

namespace
{
    // A false answer always leaves a code in the last error for the caller's message.
    bool Fail(DWORD error)
    {
        SetLastError(error);
        return false;
    }

    // Names the entry that stopped a deletion (the first one only) and keeps its code.
    bool Failed(String* failedEntry, const String& path, DWORD error)
    {
        if (failedEntry != nullptr && failedEntry->empty())
            *failedEntry = path;
        return Fail(error);
    }

    // Where a tree copy lists the folder links it leaves out (null: it follows them), and how
    // much of each long source path to cut to make it relative.
    struct TreeLinks
    {
        StringList* list;
        size_t rootLength;
    };

    // A folder of the tree copy whose parent is there already: one call, where creating each
    // folder above it again would cost a failed call per level for every folder of the tree.
    bool CreateTreeFolder(const String& longFolder)
    {
        if (CreateDirectoryW(longFolder.c_str(), nullptr))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        const DWORD attributes = GetFileAttributesW(longFolder.c_str());
        return (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) ||
               Fail(ERROR_ALREADY_EXISTS);
    }

    // Copies what longSource holds into longDestination, which is there already.
    DWORD CopyTree(const String& longSource, const String& longDestination, FileCopier& copier, TreeLinks& links)
    {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longSource + L"\\*.*").c_str(), &entry));
        if (!search)
        {
            // An empty or missing source copies nothing; one that cannot be read is a failure.
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
        }

        do
        {
            // Names beginning with "." are skipped: ".", ".." and hidden dot files alike.
            if (entry.cFileName[0] == L'.')
                continue;
            const String from = longSource + L'\\' + entry.cFileName;
            const String to = longDestination + L'\\' + entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsReparsePoint(entry.dwFileAttributes) &&
                links.list != nullptr)
            {
                links.list->push_back(from.substr(links.rootLength));
            }
            else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (!CreateTreeFolder(to))
                    return GetLastError();
                const DWORD result = CopyTree(from, to, copier, links);
                if (result != ERROR_SUCCESS)
                    return result;
            }
            // A file already there is replaced once its copy is whole. Trying the copy before
            // looking saves a lookup of each new name, which costs a scan of its folder under Wine.
            else if (!copier.Copy(from, to, true, &entry))
            {
                const DWORD error = GetLastError();
                if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !copier.Copy(from, to, false, &entry))
                    return GetLastError();
            }
        } while (FindNextFileW(search.get(), &entry));

        const DWORD endReason = GetLastError();
        return endReason == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : endReason;
    }
}

namespace Directories
{
    void AppendBackslash(String& directory)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        if (!EndsWithBackslash(directory))
            directory += L'\\';
    }

    String RemoveBackslash(const String& directory)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        return StripTrailingBackslash(directory);
    }

    bool IsRoot(const String& path)
    {
        ThrowIfEmpty(path, L"Path cannot be empty");
        String withBackslash = path;
        AppendBackslash(withBackslash);
        return static_cast<size_t>(Paths::GetRootLength(withBackslash)) == withBackslash.size();
    }

    bool Exists(const String& directory)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        const DWORD attributes = GetFileAttributesW(LongFormForQuery(directory).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    bool IsDotEntry(const String& name)
    {
        ThrowIfEmpty(name, L"Directory cannot be empty");
        return name == L"." || name == L"..";
    }

    String GetDirectory(const String& path, bool itemPath)
    {
        ThrowIfEmpty(path, L"FileName cannot be empty");
        String item = path;
        if (itemPath)
        {
            AppendBackslash(item);
            if (IsRoot(item))
                return item;
            item.pop_back();
        }
        const size_t lastBackslash = item.rfind(L'\\');
        return lastBackslash == String::npos ? String() : item.substr(0, lastBackslash);
    }

    bool Create(const String& directory)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        if (IsRoot(directory))
        {
            String root = directory;
            AppendBackslash(root);
            return Paths::Exists(root);
        }

        const String longDirectory = StripTrailingBackslash(Paths::ToLongPath(directory));
        bool isDirectory = false;
        if (Paths::GetAttributes(longDirectory, isDirectory))
            return isDirectory || Fail(ERROR_ALREADY_EXISTS);

        // Most folders are made where their parent is there already: one call then, where making
        // every folder from the root down would cost one for each level.
        if (CreateDirectoryW(longDirectory.c_str(), nullptr))
            return true;
        if (GetLastError() == ERROR_PATH_NOT_FOUND)
        {
            const size_t rootLength = static_cast<size_t>(Paths::GetRootLength(longDirectory));
            for (size_t backslash = longDirectory.find(L'\\', rootLength); backslash != String::npos;
                 backslash = longDirectory.find(L'\\', backslash + 1))
            {
                const String parent = longDirectory.substr(0, backslash);
                if (parent == L"\\")
                    continue;
                if (!CreateDirectoryW(parent.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                    return false;
            }
            if (CreateDirectoryW(longDirectory.c_str(), nullptr))
                return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        // Made meanwhile by someone else: fine if it is a directory.
        isDirectory = false;
        return (Paths::GetAttributes(longDirectory, isDirectory) && isDirectory) || Fail(ERROR_ALREADY_EXISTS);
    }

    DWORD Copy(const String& source, const String& destination, StringList* folderLinks)
    {
        ThrowIfEmpty(source, L"Source Directory cannot be empty");
        ThrowIfEmpty(destination, L"Destination Directory cannot be empty");
        FileCopier copier;
        const String longSource = StripTrailingBackslash(Paths::ToLongPath(source));
        TreeLinks links = {folderLinks, longSource.size() + 1};
        const String longDestination = StripTrailingBackslash(Paths::ToLongPath(destination));
        if (!Directories::Create(longDestination))
            return GetLastError();
        return CopyTree(longSource, longDestination, copier, links);
    }

    bool DeleteFiles(const String& directory, const String& pattern, String* failedEntry)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        ThrowIfEmpty(pattern, L"File pattern cannot be empty");
        const String longDirectory = StripTrailingBackslash(Paths::ToLongPath(directory));

        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longDirectory + L'\\' + pattern).c_str(), &entry));
        if (!search)
        {
            // Nothing matched, or no directory at all: nothing to delete.
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES)
                return true;
            return Failed(failedEntry, longDirectory, error);
        }
        do
        {
            if (IsDotEntry(entry.cFileName))
                continue;
            const String path = longDirectory + L'\\' + entry.cFileName;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                // A junction or directory link is removed itself; what it points at is not ours.
                if (IsReparsePoint(entry.dwFileAttributes))
                {
                    if (!RemoveDirectoryW(path.c_str()))
                        return Failed(failedEntry, path, GetLastError());
                }
                else if (!Delete(path, failedEntry))
                {
                    return false;
                }
            }
            else if (!Files::Delete(path))
            {
                return Failed(failedEntry, path, GetLastError());
            }
        } while (FindNextFileW(search.get(), &entry));

        const DWORD endReason = GetLastError();
        return endReason == ERROR_NO_MORE_FILES || Failed(failedEntry, longDirectory, endReason);
    }

    bool Delete(const String& directory, String* failedEntry)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        if (!DeleteFiles(directory, L"*.*", failedEntry))
            return false;
        const String longDirectory = StripTrailingBackslash(Paths::ToLongPath(directory));
        if (RemoveDirectoryW(longDirectory.c_str()))
            return true;
        // A directory that is not there counts as deleted.
        const DWORD error = GetLastError();
        return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND || Failed(failedEntry, longDirectory, error);
    }
}
