#include "module/BackupTarget.h"

#include "activedirectory/ActiveDirectoryFolders.h"
#include "bootfiles/CoreBootSystemFilesFolders.h"
#include "certsrv/CertificateServicesFolders.h"
#include "cluster/ClusterDatabaseFolders.h"
#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "platform/Wow64.h"
#include "sysvol/SystemVolumeFolders.h"

#include <optional>
#include <vector>

namespace
{
    using Options = _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS;
    using Kind = TopLevelKind;

    // Where each component that copies live folders reads them.
    const struct
    {
        VARIANT_BOOL Options::*flag;
        StringList (*live)();
    } LiveFolderSources[] = {
        {&Options::m_bCoreBootSystemFiles, &CoreBootSystemFilesFolders::Live},
        {&Options::m_bActiveDirectory, &ActiveDirectoryFolders::Live},
        {&Options::m_bSystemVolume, &SystemVolumeFolders::Live},
        {&Options::m_bCertificateServices, &CertificateServicesFolders::Live},
        {&Options::m_bClusterDatabase, &ClusterDatabaseFolders::Live},
    };

    [[noreturn]] void InvalidTarget(const String& directory)
    {
        throw FileSystemException(Strings::Format(L"Invalid backup directory: %s", directory.c_str()));
    }

    bool IsRootPath(const String& fullPath)
    {
        try
        {
            if (Directories::IsRoot(fullPath))
                return true;
        }
        catch (const FileSystemException&)
        {
            return false;   // no root to be found: nothing a backup could empty
        }
        // A volume mounted on a folder is a root too.
        std::vector<wchar_t> volume(fullPath.size() + 2);
        if (!GetVolumePathNameW(fullPath.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
            return false;
        String withBackslash = fullPath;
        Directories::AppendBackslash(withBackslash);
        return Strings::EqualsNoCase(volume.data(), withBackslash);
    }

    // By identity, so that a short name, a share or a link to it is recognised as well.
    bool IsWindowsDirectory(const String& directory)
    {
        wchar_t windows[MAX_PATH + 1] = {};
        const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
        if (length == 0 || length > MAX_PATH)
            return false;
        const String windowsDirectory(windows, length);
        if (Strings::EqualsNoCase(Directories::RemoveBackslash(Paths::GetFullPath(directory)),
                                  Directories::RemoveBackslash(windowsDirectory)))
            return true;
        return Paths::IsSameObject(directory, windowsDirectory);
    }

    struct TopLevelEntry
    {
        String name;
        bool isDirectory;
    };

    // Null when the folder cannot be listed.
    std::optional<std::vector<TopLevelEntry>> TopLevelEntries(const String& directory)
    {
        const String longDirectory = Directories::RemoveBackslash(Paths::ToLongPath(directory));
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longDirectory + L"\\*").c_str(), &entry));
        if (!search)
            return std::nullopt;
        std::vector<TopLevelEntry> entries;
        do
            if (!Directories::IsDotEntry(entry.cFileName))
                entries.push_back({entry.cFileName, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        while (FindNextFileW(search.get(), &entry));
        return entries;
    }

    // "*.log" matches a name that ends in ".log" and has more before it.
    bool MatchesPattern(const String& name, const wchar_t* pattern)
    {
        const String suffix = pattern + 1;
        return name.size() > suffix.size() && Strings::EqualsNoCase(name.substr(name.size() - suffix.size()), suffix);
    }

    bool IsNamed(const TopLevelEntry& entry, const TopLevelName& name)
    {
        switch (name.kind)
        {
        case Kind::Mark:
            return !entry.isDirectory && Strings::EqualsNoCase(entry.name, name.name);
        case Kind::MarkFolder:
        case Kind::Folder:
            return entry.isDirectory && Strings::EqualsNoCase(entry.name, name.name);
        case Kind::LooseFiles:
            return !entry.isDirectory && MatchesPattern(entry.name, name.name);
        }
        return false;
    }

    bool HasMarkAmong(const Component& component, const std::vector<TopLevelEntry>& entries)
    {
        for (const TopLevelName* name = component.topLevelNames; name->name != nullptr; ++name)
            if (name->kind == Kind::Mark || name->kind == Kind::MarkFolder)
                for (const TopLevelEntry& entry : entries)
                    if (IsNamed(entry, *name))
                        return true;
        return false;
    }

    // Whether a component writes this entry at the top of a backup that holds entries.
    bool IsWrittenBy(const Component& component, const TopLevelEntry& entry,
                     const std::vector<TopLevelEntry>& entries)
    {
        for (const TopLevelName* name = component.topLevelNames; name->name != nullptr; ++name)
            if (IsNamed(entry, *name))
                // Loose names are common ones ("*.log"): only the component's own mark beside
                // them makes them its files.
                return name->kind != Kind::LooseFiles || HasMarkAmong(component, entries);
        return false;
    }

    // Nothing in it, or nothing but what the components and the catalog write there: an earlier
    // backup may be emptied, anything else is someone's data.
    bool IsEmptyOrEarlierBackup(const String& directory)
    {
        const auto entries = TopLevelEntries(directory);
        // A folder that cannot be listed cannot be emptied either; the emptying reports it.
        if (!entries)
            return true;
        for (const TopLevelEntry& entry : *entries)
        {
            bool known = !entry.isDirectory && (Strings::EqualsNoCase(entry.name, Components::SumsFile) ||
                                                Strings::EqualsNoCase(entry.name, Components::InfoFile));
            for (const Component& component : Components::All())
                known = known || IsWrittenBy(component, entry, *entries);
            if (!known)
                return false;
        }
        return true;
    }

    // Whether the backup would go into a live folder of a component it copies.
    bool IsInLiveFolder(const Options& options, const String& directory, BackupTarget::LiveFoldersOf liveFolders)
    {
        for (const Component& component : Components::All())
        {
            if (options.*component.flag == VARIANT_FALSE)
                continue;
            for (const String& folder : liveFolders(component))
            {
                // By identity too, so the 64-bit system's folder, not its 32-bit view.
                const Wow64::NativeScope native(folder);
                if (Paths::IsSameOrBelow(folder, directory))
                    return true;
            }
        }
        return false;
    }

    // The entry as the caller wrote the directory: without the long prefix unless they used it.
    String AsGiven(const String& directory, const String& entry)
    {
        return Paths::IsLongPath(directory) ? entry : Paths::FromLongPath(entry);
    }
}

namespace BackupTarget
{
    StringList LiveFolders(const Component& component)
    {
        for (const auto& source : LiveFolderSources)
            if (source.flag == component.flag)
                return source.live();
        return StringList();
    }

    void Check(const Options& options, const String& directory, LiveFoldersOf liveFolders)
    {
        // A colon past the drive names a stream of a file, not a folder.
        const String local = Strings::StartsWithNoCase(directory, L"\\\\?\\") ? directory.substr(4) : directory;
        if (local.find(L':', 2) != String::npos)
            InvalidTarget(directory);
        // "C:" alone is the current folder of that drive to the system, its root to the file layer.
        if (IsRootPath(directory) || IsRootPath(Paths::GetFullPath(directory)) || IsWindowsDirectory(directory))
            InvalidTarget(directory);
        // A copy into the tree it copies never ends, and a restore would write into its own source.
        if (IsInLiveFolder(options, directory, liveFolders))
            InvalidTarget(directory);
        if (Directories::Exists(directory) && !IsEmptyOrEarlierBackup(directory))
            InvalidTarget(directory);
    }

    String Prepare(const Options& options, const String& directory, LiveFoldersOf liveFolders)
    {
        // The target holds exactly one backup: empty it, or create it.
        const bool exists = Directories::Exists(directory);
        Check(options, directory, liveFolders);
        if (!exists)
            return CreateDirectoryW(directory.c_str(), nullptr) ? String()
                                                                : L"CreateDirectory failed: " + ErrorText::FormatLastError();
        String failedEntry;
        if (Directories::DeleteFiles(directory, L"*", &failedEntry))
            return String();
        const String error = ErrorText::FormatLastError();
        return Strings::Format(L"Could not delete directory: %s\nCould not delete %s: %s", directory.c_str(),
                               AsGiven(directory, failedEntry).c_str(), error.c_str());
    }

    bool HasMark(const Component& component, const String& directory)
    {
        const auto entries = TopLevelEntries(directory);
        return entries && HasMarkAmong(component, *entries);
    }
}
