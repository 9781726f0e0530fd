#include "sysvol/SystemVolume.h"

#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "files/Links.h"
#include "platform/EnvironmentVariables.h"
#include "sysvol/SystemVolumeBackupSet.h"

#include <algorithm>
#include <vector>

namespace
{
    const wchar_t* const NoBackup = L"No SysVol backup in %s";
    const wchar_t* const CopyFailed = L"Directories::Copy(%s, %s) failed: %d\n%s";
    const wchar_t* const InsideRestoredFolder = L"The backup folder %s lies in %s, which the restore writes";
    const wchar_t* const RenameFailed = L"MoveFileEx(%s, %s) failed: %s";

    // What a genuine backup stays within; anything past it is refused before it is used.
    // The manifest holds one short path and a link or two for each domain the server holds.
    constexpr DWORD MostManifestBytes = 1024 * 1024;
    // The copy path is the live tree's path without its colon.
    constexpr size_t MostCopyPathCharacters = MAX_PATH;
    constexpr size_t MostLinks = 64;
    constexpr size_t MostLinkCharacters = 1024;
    // Names below the tree (64 of at most 255 characters keep every path within what a long
    // path holds), and entries of the whole saved tree.
    constexpr size_t MostDepth = 64;
    constexpr size_t MostEntries = 100000;

    [[noreturn]] void Fail(const String& message)
    {
        throw SystemVolumeException(message);
    }

    String LiveTree()
    {
        EnvironmentVariables variables;
        String live;
        if (variables.ExpandBelowSystemRoot(L"SysVol", live) != S_OK)
            Fail(Strings::Format(L"EnvironmentVariables::Expand(%s, %s) failed: %s", L"%SystemRoot%", L"",
                                 variables.GetError().c_str()));
        return live;
    }

    String CopyFolder(const String& directory)
    {
        String folder = directory;
        Directories::AppendBackslash(folder);
        return folder + L"SysVol";
    }

    // Paths as a person writes them, for messages.
    String Shown(const String& path)
    {
        return Paths::FromLongPath(path);
    }

    [[noreturn]] void ThrowCopyFailed(const String& source, const String& destination, DWORD code)
    {
        Fail(Strings::Format(CopyFailed, Shown(source).c_str(), Shown(destination).c_str(), static_cast<int>(code),
                             ErrorText::Format(code).c_str()));
    }

    // A link inside the backup folder would make the restore read a tree from elsewhere.
    bool PassesThroughLink(const String& folder, const String& relativePath)
    {
        String path = folder;
        size_t start = 0;
        for (;;)
        {
            if (Links::IsLink(path))
                return true;
            if (start > relativePath.size())
                return false;
            const size_t end = std::min(relativePath.find(L'\\', start), relativePath.size());
            path += L'\\' + relativePath.substr(start, end - start);
            start = end + 1;
        }
    }

    // Where a live folder link leads, as a path below the live tree. A link that leads out of the
    // tree fails the backup: its folder would be neither saved nor safe to point at again.
    String LinkTarget(const String& live, const String& path)
    {
        const String link = live + L'\\' + path;
        const String target = Links::ResolveFolder(link);
        if (target.empty())
            Fail(Strings::Format(L"Could not tell where the SysVol link %s leads: %s", link.c_str(),
                                 ErrorText::FormatLastError().c_str()));
        // The tree itself may be reached through a link: compare with its final name.
        const String resolvedLive = Links::ResolveFolder(live);
        for (const String& root : {resolvedLive, live})
        {
            if (!root.empty() && target.size() > root.size() + 1 && Strings::StartsWithNoCase(target, root + L'\\'))
                return target.substr(root.size() + 1);
        }
        Fail(Strings::Format(L"The SysVol link %s leads out of %s, to %s", link.c_str(), live.c_str(), target.c_str()));
    }

    DWORD Attributes(const String& longPath)
    {
        return GetFileAttributesW(longPath.c_str());
    }

    bool IsFolder(DWORD attributes)
    {
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    bool IsLink(DWORD attributes)
    {
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }

    // A manifest is read whole into memory: one far larger than a genuine one is refused unread.
    void RefuseLargeManifest(const String& path)
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(Paths::ToLongPath(path).c_str(), GetFileExInfoStandard, &data))
            return; // the manifest's own reading says what is wrong
        if (data.nFileSizeHigh != 0 || data.nFileSizeLow > MostManifestBytes)
            Fail(Strings::Format(L"%s is larger than 1 MiB, more than a SysVol manifest holds", path.c_str()));
    }

    // Deletes a file this restore made or set aside, read-only or not.
    void DeleteOwnFile(const String& longPath) noexcept
    {
        SetFileAttributesW(longPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(longPath.c_str());
    }

    // Lays the saved tree over the live one so that a failure leaves the live tree as it was.
    // Plan reads both trees and writes nothing; Apply copies every saved file beside its live
    // place, then swaps the live files for the copies by renames (the live file to a name
    // beside it, the copy to the live name), then makes the links the backup records; only when
    // all of that is done are the set-aside files removed. A failure at any step undoes the
    // steps before it, in reverse order. All paths are long paths.
    class TreeRestore
    {
    public:
        TreeRestore(const String& copy, const String& live)
            : m_copy(Paths::ToLongPath(copy)), m_live(Paths::ToLongPath(live))
        {
        }
        TreeRestore(const TreeRestore&) = delete;
        TreeRestore& operator=(const TreeRestore&) = delete;
        ~TreeRestore()
        {
            if (!m_done)
                Undo();
        }

        // Reads the saved tree whole and writes nothing. Throws, before any entry past it is
        // used, for more entries than a backup holds, a name Windows cannot hold, a link, and
        // folders nested deeper than a backup holds. Returns the number of saved files.
        size_t ReadSaved()
        {
            Read(String(), 0);
            return m_savedFiles;
        }

        // After ReadSaved, reads the live tree and writes nothing. Throws for a live link or file
        // where the saved tree has a folder, a live folder where it has a file, and for a
        // recorded link whose place the saved tree fills or whose live place is a file or lies
        // behind a live link.
        void Plan(const std::vector<SystemVolumeLink>& links)
        {
            if (Attributes(m_live) == INVALID_FILE_ATTRIBUTES)
                m_folders.push_back(m_live);
            for (const SavedEntry& entry : m_saved)
                PlanEntry(entry);
            for (const SystemVolumeLink& link : links)
                PlanLink(link);
        }

        void Apply()
        {
            for (const String& folder : m_folders)
                MakeFolders(folder);
            for (FileStep& file : m_files)
                Stage(file);
            for (FileStep& file : m_files)
                Swap(file);
            for (LinkStep& link : m_links)
                MakeLink(link);
            m_done = true;
            RemoveSetAside();
        }

    private:
        struct FileStep
        {
            String saved;
            String live;
            bool liveExists;
            String staged;     // the copy beside the live file, until it takes the live name
            String setAside;   // the live file's name beside it, once it is moved there
            bool swapped = false;
        };
        struct LinkStep
        {
            String live;
            String target;
            bool liveIsFolder; // a plain folder, set aside for the link
            String setAside;
            bool made = false;
        };

        struct SavedEntry
        {
            String relative; // below the saved tree
            bool folder;
        };

        // relativeFolder holds depth names (none for the saved tree itself).
        void Read(const String& relativeFolder, size_t depth)
        {
            const String savedFolder = relativeFolder.empty() ? m_copy : m_copy + L'\\' + relativeFolder;
            WIN32_FIND_DATAW entry;
            UniqueFindHandle search(FindFirstFileW((savedFolder + L"\\*").c_str(), &entry));
            if (!search)
            {
                const DWORD error = GetLastError();
                if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
                    return;
                ThrowCopyFailed(savedFolder, LivePath(relativeFolder), error);
            }
            do
            {
                // As the backup's copy: names beginning with "." were never saved.
                if (entry.cFileName[0] == L'.')
                    continue;
                const String relative = relativeFolder.empty() ? String(entry.cFileName)
                                                               : relativeFolder + L'\\' + entry.cFileName;
                const String saved = m_copy + L'\\' + relative;
                if (++m_savedEntries > MostEntries)
                    Fail(Strings::Format(L"The SysVol backup in %s holds more than %d entries; nothing was restored",
                                         Shown(m_copy).c_str(), static_cast<int>(MostEntries)));
                if (!Paths::IsPlainName(entry.cFileName))
                    Fail(Strings::Format(L"The SysVol backup holds a name Windows cannot hold at %s; nothing was restored",
                                         Shown(saved).c_str()));
                if (IsLink(entry.dwFileAttributes))
                    Fail(Strings::Format(L"The SysVol backup holds a link at %s; nothing was restored",
                                         Shown(saved).c_str()));
                // Also what ends a loop the file system does not show as a link.
                if (depth >= MostDepth)
                    Fail(Strings::Format(L"The SysVol backup nests folders more than %d deep at %s; nothing was restored",
                                         static_cast<int>(MostDepth), Shown(saved).c_str()));
                const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                m_saved.push_back({relative, folder});
                if (folder)
                    Read(relative, depth + 1);
                else
                    ++m_savedFiles;
            } while (FindNextFileW(search.get(), &entry));
            const DWORD endReason = GetLastError();
            if (endReason != ERROR_NO_MORE_FILES)
                ThrowCopyFailed(savedFolder, LivePath(relativeFolder), endReason);
        }

        String LivePath(const String& relative) const
        {
            return relative.empty() ? m_live : m_live + L'\\' + relative;
        }

        // The attributes of the live entry a saved one lands on. Windows also opens an entry by
        // its short name, so a saved name may reach a live entry the backup never held: refused.
        DWORD LiveAttributes(const SavedEntry& entry, const String& live) const
        {
            WIN32_FIND_DATAW found;
            UniqueFindHandle search(FindFirstFileW(live.c_str(), &found));
            if (!search)
                return INVALID_FILE_ATTRIBUTES;
            if (!Strings::EqualsNoCase(Files::GetFileName(entry.relative), found.cFileName))
                Fail(Strings::Format(L"The SysVol backup holds %s, another name of the live %s; nothing was restored",
                                     Shown(m_copy + L'\\' + entry.relative).c_str(),
                                     Shown(Directories::GetDirectory(live, true) + L'\\' + found.cFileName).c_str()));
            return found.dwFileAttributes;
        }

        void PlanEntry(const SavedEntry& entry)
        {
            const String live = LivePath(entry.relative);
            const DWORD liveAttributes = LiveAttributes(entry, live);
            if (entry.folder)
            {
                if (IsLink(liveAttributes))
                    Fail(Strings::Format(L"The live SysVol has a link at %s where the backup has a folder; "
                                         L"nothing was restored", Shown(live).c_str()));
                if (liveAttributes != INVALID_FILE_ATTRIBUTES && !IsFolder(liveAttributes))
                    Fail(Strings::Format(L"The live SysVol has a file at %s where the backup has a folder; "
                                         L"nothing was restored", Shown(live).c_str()));
                if (liveAttributes == INVALID_FILE_ATTRIBUTES)
                    m_folders.push_back(live);
            }
            else
            {
                if (IsFolder(liveAttributes))
                    Fail(Strings::Format(L"The live SysVol has a folder at %s where the backup has a file; "
                                         L"nothing was restored", Shown(live).c_str()));
                m_files.push_back({m_copy + L'\\' + entry.relative, live, liveAttributes != INVALID_FILE_ATTRIBUTES,
                                   String(), String()});
            }
        }

        void PlanLink(const SystemVolumeLink& link)
        {
            const String live = m_live + L'\\' + link.path;
            if (Attributes(m_copy + L'\\' + link.path) != INVALID_FILE_ATTRIBUTES)
                Fail(Strings::Format(L"Invalid SysVol link %s: the backup holds a copy there", link.path.c_str()));
            // A live link above it would carry the new link, or the folder set aside, elsewhere.
            for (size_t end = link.path.find(L'\\'); end != String::npos; end = link.path.find(L'\\', end + 1))
            {
                const String above = m_live + L'\\' + link.path.substr(0, end);
                if (IsLink(Attributes(above)))
                    Fail(Strings::Format(L"The live SysVol has a link at %s where the backup has a folder; "
                                         L"nothing was restored", Shown(above).c_str()));
            }
            const DWORD attributes = Attributes(live);
            // A live link stays as it is.
            if (IsLink(attributes))
                return;
            if (attributes != INVALID_FILE_ATTRIBUTES && !IsFolder(attributes))
                Fail(Strings::Format(L"The live SysVol has a file at %s where the backup has a link; "
                                     L"nothing was restored", Shown(live).c_str()));
            m_links.push_back({live, Shown(m_live) + L'\\' + link.target, IsFolder(attributes), String()});
        }

        // Makes the folder and the missing ones above it, remembering each for the undo.
        void MakeFolders(const String& folder)
        {
            if (IsFolder(Attributes(folder)))
                return;
            const String parent = Directories::GetDirectory(folder, true);
            if (parent != folder)
                MakeFolders(parent);
            if (!CreateDirectoryW(folder.c_str(), nullptr))
                ThrowCopyFailed(m_copy, folder, GetLastError());
            m_createdFolders.push_back(folder);
        }

        // A name beside path that nothing holds yet.
        static String FreeName(const String& path, const wchar_t* kind)
        {
            for (int attempt = 0;; ++attempt)
            {
                const String name = Strings::Format(L"%s.qm%s%d~", path.c_str(), kind, attempt);
                if (Attributes(name) == INVALID_FILE_ATTRIBUTES)
                    return name;
            }
        }

        void Stage(FileStep& file)
        {
            const String staged = FreeName(file.live, L"new");
            if (!Files::Copy(file.saved, staged, false))
            {
                const DWORD error = GetLastError();
                ThrowCopyFailed(file.saved, file.live, error);
            }
            file.staged = staged;
        }

        void Swap(FileStep& file)
        {
            if (file.liveExists)
            {
                const String setAside = FreeName(file.live, L"old");
                Rename(file.live, setAside);
                file.setAside = setAside;
            }
            Rename(file.staged, file.live);
            file.swapped = true;
        }

        void MakeLink(LinkStep& link)
        {
            if (link.liveIsFolder)
            {
                const String setAside = FreeName(link.live, L"old");
                Rename(link.live, setAside);
                link.setAside = setAside;
            }
            if (!Links::CreateFolderLink(link.live, link.target))
            {
                const DWORD error = GetLastError();
                Fail(Strings::Format(L"Could not make the SysVol link %s to %s: %s", Shown(link.live).c_str(),
                                     link.target.c_str(), ErrorText::Format(error).c_str()));
            }
            link.made = true;
        }

        static void Rename(const String& from, const String& to)
        {
            if (!MoveFileExW(from.c_str(), to.c_str(), 0))
            {
                const DWORD error = GetLastError();
                Fail(Strings::Format(RenameFailed, Shown(from).c_str(), Shown(to).c_str(),
                                     ErrorText::Format(error).c_str()));
            }
        }

        // Best effort: what cannot be put back stays as the failure left it.
        void Undo() noexcept
        {
            for (auto link = m_links.rbegin(); link != m_links.rend(); ++link)
            {
                if (link->made)
                    RemoveDirectoryW(link->live.c_str());
                if (!link->setAside.empty())
                    MoveFileExW(link->setAside.c_str(), link->live.c_str(), 0);
            }
            for (auto file = m_files.rbegin(); file != m_files.rend(); ++file)
            {
                if (file->swapped && file->setAside.empty())
                    DeleteOwnFile(file->live);
                if (!file->setAside.empty())
                    MoveFileExW(file->setAside.c_str(), file->live.c_str(), MOVEFILE_REPLACE_EXISTING);
                if (!file->staged.empty() && !file->swapped)
                    DeleteOwnFile(file->staged);
            }
            for (auto folder = m_createdFolders.rbegin(); folder != m_createdFolders.rend(); ++folder)
                RemoveDirectoryW(folder->c_str());
        }

        // The restore is done; a set-aside file that cannot be removed only takes room.
        void RemoveSetAside() noexcept
        {
            for (const FileStep& file : m_files)
            {
                if (!file.setAside.empty())
                    DeleteOwnFile(file.setAside);
            }
            for (const LinkStep& link : m_links)
            {
                if (!link.setAside.empty())
                    Directories::Delete(link.setAside);
            }
        }

        String m_copy;
        String m_live;
        std::vector<SavedEntry> m_saved; // every folder before what it holds
        size_t m_savedEntries = 0;
        size_t m_savedFiles = 0;
        StringList m_folders;          // saved folders the live tree lacks, outermost first
        std::vector<FileStep> m_files;
        std::vector<LinkStep> m_links;
        StringList m_createdFolders;   // in the order they were made
        bool m_done = false;
    };
}

void SystemVolume::Backup(const String& directory)
{
    const String live = LiveTree();
    String relative = live;
    relative.erase(std::remove(relative.begin(), relative.end(), L':'), relative.end());
    const String copy = CopyFolder(directory) + L'\\' + relative;

    // Written before any file is copied, so that a half-done copy is still found.
    SystemVolumeBackupSet backupSet(directory);
    backupSet.Open();
    backupSet.SetDirectory(relative);
    if (!backupSet.Save())
        Fail(L"Could not save xml file!");

    // A missing tree would copy as empty: a backup without SysVol must not pass for one.
    if (!Directories::Exists(live))
        ThrowCopyFailed(live, copy, ERROR_PATH_NOT_FOUND);
    // Folder links are recorded, not copied: a copy of what one leads to would come back as a
    // second, plain folder.
    StringList links;
    const DWORD code = Directories::Copy(live, copy, &links);
    if (code != ERROR_SUCCESS)
        ThrowCopyFailed(live, copy, code);
    if (links.empty())
        return;
    for (const String& link : links)
        backupSet.AddLink({link, LinkTarget(live, link)});
    if (!backupSet.Save())
        Fail(L"Could not save xml file!");
}

void SystemVolume::Restore(const String& directory)
{
    const String live = LiveTree();
    if (Paths::IsSameOrBelow(live, directory))
        Fail(Strings::Format(InsideRestoredFolder, directory.c_str(), live.c_str()));

    SystemVolumeBackupSet backupSet(directory);
    RefuseLargeManifest(backupSet.GetFilePath());
    backupSet.OpenExisting(NoBackup);
    const String& manifest = backupSet.GetFilePath();
    const String relative = backupSet.GetDirectory();
    if (relative.size() > MostCopyPathCharacters)
        Fail(Strings::Format(L"The SysVol copy path in %s is longer than %d characters", manifest.c_str(),
                             static_cast<int>(MostCopyPathCharacters)));
    const String folder = CopyFolder(directory);
    if (!Paths::IsRelativeBelow(relative) || !Paths::IsPlainRelativePath(relative, MostDepth) ||
        PassesThroughLink(folder, relative))
        Fail(Strings::Format(L"Invalid SysVol copy path in %s: %s", manifest.c_str(), relative.c_str()));
    const String copy = folder + L'\\' + relative;
    if (!Directories::Exists(copy))
        Fail(Strings::Format(NoBackup, directory.c_str()));
    const std::vector<SystemVolumeLink> links = backupSet.GetLinks(MostLinks);
    if (links.size() > MostLinks)
        Fail(Strings::Format(L"%s records more than %d SysVol links", manifest.c_str(), static_cast<int>(MostLinks)));
    for (const SystemVolumeLink& link : links)
    {
        if (link.path.size() > MostLinkCharacters || link.target.size() > MostLinkCharacters)
            Fail(Strings::Format(L"Invalid SysVol link in %s: longer than %d characters", manifest.c_str(),
                                 static_cast<int>(MostLinkCharacters)));
        if (!Paths::IsRelativeBelow(link.path) || !Paths::IsRelativeBelow(link.target) ||
            !Paths::IsPlainRelativePath(link.path, MostDepth) || !Paths::IsPlainRelativePath(link.target, MostDepth))
            Fail(Strings::Format(L"Invalid SysVol link in %s: %s to %s", manifest.c_str(), link.path.c_str(),
                                 link.target.c_str()));
    }

    TreeRestore restore(copy, live);
    // An empty restore is no restore.
    if (restore.ReadSaved() == 0)
        Fail(Strings::Format(NoBackup, directory.c_str()));
    restore.Plan(links);
    restore.Apply();
}
