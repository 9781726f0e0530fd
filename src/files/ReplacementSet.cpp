#include "files/ReplacementSet.h"

#include "files/Directories.h"
#include "files/FileCopier.h"
#include "files/Files.h"
#include "files/Internal.h"
#include "files/Paths.h"
#include "handles/Handles.h"

#include <windows.h>

#include <algorithm>

using namespace FilesInternal;

namespace
{
    // Temporary names beside a live file: "<name>.qm<n>~", never a name the file's owner reads.
    String TemporaryName(const String& path, int attempt)
    {
        return path + Strings::Format(L".qm%d~", attempt);
    }

    constexpr int TemporaryNameAttempts = 100;

    bool IsNameTaken(DWORD error)
    {
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    }

    // Renames path to a free temporary name beside it; empty, with the last error set, when it
    // cannot.
    String MoveAside(const String& path)
    {
        for (int attempt = 0; attempt < TemporaryNameAttempts; ++attempt)
        {
            const String aside = TemporaryName(path, attempt);
            if (MoveFileExW(path.c_str(), aside.c_str(), 0))
                return aside;
            if (!IsNameTaken(GetLastError()))
                return String();
        }
        return String();
    }

    void RemoveFile(const String& path)
    {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }

    // Folders compared by name (case aside), then by identity (a share or a link to it).
    bool IsSameFolder(const String& one, const String& other)
    {
        return Strings::EqualsNoCase(StripTrailingBackslash(Paths::FromLongPath(one)),
                                     StripTrailingBackslash(Paths::FromLongPath(other))) ||
               Paths::IsSameObject(one, other);
    }
}

ReplacementSet::~ReplacementSet()
{
    if (m_finished)
        return;
    const DWORD lastError = GetLastError();
    if (m_committed)
        Undo();
    for (const Entry& entry : m_entries)
        if (!entry.staged.empty() && !entry.movedIn)
            RemoveFile(entry.staged);
    // Deepest first; a folder that holds anything else stays.
    std::sort(m_createdFolders.begin(), m_createdFolders.end(),
              [](const String& one, const String& other) { return one.size() > other.size(); });
    for (const String& folder : m_createdFolders)
        RemoveDirectoryW(folder.c_str());
    SetLastError(lastError);
}

void ReplacementSet::Add(const String& source, const String& destination)
{
    ThrowIfEmpty(source, L"Source file cannot be empty");
    ThrowIfEmpty(destination, L"Destination file cannot be empty");
    Entry entry;
    entry.source = Paths::ToLongPath(source);
    entry.destination = Paths::ToLongPath(destination);
    m_entries.push_back(entry);
}

void ReplacementSet::RemoveOthersIn(const String& folder, bool (*takes)(const String& name))
{
    ThrowIfEmpty(folder, L"Directory cannot be empty");
    const String longFolder = StripTrailingBackslash(Paths::ToLongPath(folder));
    for (const Folder& known : m_folders)
        if (Strings::EqualsNoCase(known.path, longFolder) && known.takes == takes)
            return;
    m_folders.push_back({longFolder, takes});
}

bool ReplacementSet::Failed(const String& from, const String& to)
{
    const DWORD error = GetLastError();
    m_failedFrom = Paths::FromLongPath(from);
    m_failedTo = Paths::FromLongPath(to);
    SetLastError(error);
    return false;
}

bool ReplacementSet::Stage()
{
    FileCopier copier;
    for (Entry& entry : m_entries)
    {
        const String folder = Directories::GetDirectory(entry.destination, true);
        // What Stage makes, the destructor removes again.
        std::vector<String> missing;
        for (String above = folder; !Directories::IsRoot(above) && !Paths::Exists(above);
             above = Directories::GetDirectory(above, true))
            missing.push_back(above);
        if (!Directories::Create(folder))
            return Failed(entry.source, entry.destination);
        m_createdFolders.insert(m_createdFolders.end(), missing.begin(), missing.end());

        for (int attempt = 0; entry.staged.empty(); ++attempt)
        {
            const String staged = TemporaryName(entry.destination, attempt);
            if (copier.Copy(entry.source, staged, true))
                entry.staged = staged;
            else if (!IsNameTaken(GetLastError()) || attempt + 1 == TemporaryNameAttempts)
                return Failed(entry.source, entry.destination);
        }
    }
    return true;
}

bool ReplacementSet::Commit()
{
    // The folders' other files, listed before anything is renamed there.
    for (const Folder& other : m_folders)
    {
        const String& folder = other.path;
        std::vector<String> kept;
        for (const Entry& entry : m_entries)
        {
            for (const String* path : {&entry.destination, &entry.source})
                if (IsSameFolder(Directories::GetDirectory(*path, true), folder))
                    kept.push_back(Files::GetFileName(*path));
            if (!entry.staged.empty())
                kept.push_back(Files::GetFileName(entry.staged));
        }
        WIN32_FIND_DATAW found;
        UniqueFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
        if (!search)
        {
            if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
                continue;
            return Failed(folder, folder);
        }
        do
        {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                (other.takes != nullptr && !other.takes(found.cFileName)))
                continue;
            const bool isKept = std::any_of(kept.begin(), kept.end(), [&found](const String& name) {
                return Strings::EqualsNoCase(name, found.cFileName);
            });
            const String path = folder + L'\\' + found.cFileName;
            // A file that two tests of one folder take goes once.
            const bool isListed = std::any_of(m_others.begin(), m_others.end(), [&path](const Other& listed) {
                return Strings::EqualsNoCase(listed.path, path);
            });
            if (!isKept && !isListed)
                m_others.push_back({path, String()});
        } while (FindNextFileW(search.get(), &found));
        if (GetLastError() != ERROR_NO_MORE_FILES)
            return Failed(folder, folder);
    }

    m_committed = true;
    for (Entry& entry : m_entries)
    {
        if (GetFileAttributesW(entry.destination.c_str()) != INVALID_FILE_ATTRIBUTES)
        {
            entry.aside = MoveAside(entry.destination);
            if (entry.aside.empty())
                break;
        }
        if (!MoveFileExW(entry.staged.c_str(), entry.destination.c_str(), 0))
        {
            Failed(entry.staged, entry.destination);
            break;
        }
        entry.movedIn = true;
    }
    bool whole = std::all_of(m_entries.begin(), m_entries.end(), [](const Entry& entry) { return entry.movedIn; });
    for (Other& other : m_others)
    {
        if (!whole)
            break;
        other.aside = MoveAside(other.path);
        whole = !other.aside.empty();
    }
    if (whole)
        return true;

    // Failed names the rename that failed; a move aside names the file and the first
    // temporary name it tried.
    if (m_failedFrom.empty())
    {
        for (const Entry& entry : m_entries)
            if (!entry.movedIn)
            {
                Failed(entry.destination, TemporaryName(entry.destination, 0));
                break;
            }
        for (const Other& other : m_others)
            if (m_failedFrom.empty() && other.aside.empty())
                Failed(other.path, TemporaryName(other.path, 0));
    }
    const DWORD error = GetLastError();
    Undo();
    m_committed = false;
    SetLastError(error);
    return false;
}

void ReplacementSet::Undo() noexcept
{
    const auto putBack = [this](const String& from, const String& to) {
        if (!MoveFileExW(from.c_str(), to.c_str(), 0) && m_notPutBack.empty())
        {
            m_notPutBack = Paths::FromLongPath(to);
            m_notPutBackAs = Paths::FromLongPath(from);
        }
    };
    try
    {
        for (auto other = m_others.rbegin(); other != m_others.rend(); ++other)
            if (!other->aside.empty())
            {
                putBack(other->aside, other->path);
                other->aside.clear();
            }
        for (auto entry = m_entries.rbegin(); entry != m_entries.rend(); ++entry)
        {
            if (entry->movedIn)
            {
                if (!MoveFileExW(entry->destination.c_str(), entry->staged.c_str(), 0))
                {
                    // The saved copy keeps the live name; the live file stays aside.
                    if (m_notPutBack.empty() && !entry->aside.empty())
                    {
                        m_notPutBack = Paths::FromLongPath(entry->destination);
                        m_notPutBackAs = Paths::FromLongPath(entry->aside);
                    }
                    continue;
                }
                entry->movedIn = false;
            }
            if (!entry->aside.empty())
            {
                putBack(entry->aside, entry->destination);
                entry->aside.clear();
            }
        }
    }
    catch (...)
    {
        // Only the text of a file left aside can fail to be made; the renames went on as far as
        // they could.
    }
}

void ReplacementSet::Finish() noexcept
{
    if (!m_committed || m_finished)
        return;
    for (const Entry& entry : m_entries)
        if (!entry.aside.empty())
            RemoveFile(entry.aside);
    for (const Other& other : m_others)
        RemoveFile(other.aside);
    m_finished = true;
}
