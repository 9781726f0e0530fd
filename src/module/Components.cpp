#include "module/Components.h"

#include "activedirectory/ActiveDirectory.h"
#include "activedirectory/ActiveDirectoryFolders.h"
#include "bootfiles/CoreBootSystemFiles.h"
#include "bootfiles/CoreBootSystemFilesFolders.h"
#include "certsrv/CertificateServices.h"
#include "certsrv/CertificateServicesFolders.h"
#include "cluster/ClusterDatabase.h"
#include "cluster/ClusterDatabaseFolders.h"
#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/FileSystem.h"
#include "handles/Handles.h"
#include "platform/Wow64.h"
#include "complus/COMDatabase.h"
#include "registry/RegistryService.h"
#include "sysvol/SystemVolume.h"
#include "sysvol/SystemVolumeFolders.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

namespace
{
    using Options = _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS;
    using Gate = ComponentGate;
    using Kind = TopLevelKind;

    // What each component's backup writes at the top of the target (read from its Backup).
    const TopLevelName BootFilesNames[] = {
        {L"CoreBootSystemFilesBackupSet.xml", Kind::Mark}, {L"BootFiles", Kind::Folder}, {L"CatRoot", Kind::Folder},
        {L"SPF", Kind::Folder}, {L"SfcDllCache", Kind::Folder}, {L"Perf", Kind::Folder}, {L"IIS", Kind::Folder},
        {nullptr, Kind::Mark}};
    // The backup API path writes the database and logs under the names the service gives them;
    // the writer path hands its files over into "ntds" and writes no manifest.
    const TopLevelName ActiveDirectoryNames[] = {
        {L"ActiveDirectoryBackupSet.xml", Kind::Mark}, {L"ntds", Kind::MarkFolder}, {L"*.dit", Kind::LooseFiles},
        {L"*.log", Kind::LooseFiles}, {L"*.chk", Kind::LooseFiles}, {L"*.pat", Kind::LooseFiles},
        {nullptr, Kind::Mark}};
    const TopLevelName SystemVolumeNames[] = {
        {L"SystemVolumeBackupSet.xml", Kind::Mark}, {L"SysVol", Kind::Folder}, {nullptr, Kind::Mark}};
    const TopLevelName CertificateServicesNames[] = {
        {L"CertificateServicesBackupSet.xml", Kind::Mark}, {L"CertSrv", Kind::Folder}, {nullptr, Kind::Mark}};
    // The cluster service writes only its folder.
    const TopLevelName ClusterNames[] = {{L"Cluster", Kind::MarkFolder}, {nullptr, Kind::Mark}};
    const TopLevelName RegistryNames[] = {
        {L"RegistryBackupSet.xml", Kind::Mark}, {L"Reg", Kind::Folder}, {nullptr, Kind::Mark}};
    // The catalog's one file is the whole backup.
    const TopLevelName ComPlusNames[] = {{L"comDB.reg", Kind::Mark}, {nullptr, Kind::Mark}};

    // What a backup application keeps beside the backup: ssbr's catalog.
    const wchar_t* const CatalogFiles[] = {L"SHA256SUMS", L"backup.json"};

    // Backup order as listed; the registry restores last, once everything else is in place, and
    // the directory restores run only in restore mode. The registry and COM+ go through the
    // platform's own calls and copy no live folder.
    const Component Table[] = {
        {L"--boot-files", L"boot files", &Options::m_bCoreBootSystemFiles, BootFilesNames,
         &CoreBootSystemFilesFolders::Live,
         0, Gate::None, [](const ComponentJob& job) { CoreBootSystemFiles::Backup(job.directory); },
         0, Gate::None, [](const ComponentJob& job) { CoreBootSystemFiles::Restore(job.directory); }},
        {L"--active-directory", L"Active Directory", &Options::m_bActiveDirectory, ActiveDirectoryNames,
         &ActiveDirectoryFolders::Live,
         1, Gate::DomainController,
         [](const ComponentJob& job) {
             ActiveDirectory().Backup(job.server, job.domain, job.user, job.password.Get(), job.directory,
                                      job.truncateLogs);
         },
         5, Gate::RestoreMode,
         [](const ComponentJob& job) {
             ActiveDirectory().Restore(job.server, job.domain, job.user, job.password.Get(), job.directory);
         }},
        {L"--sysvol", L"SysVol", &Options::m_bSystemVolume, SystemVolumeNames, &SystemVolumeFolders::Live,
         2, Gate::DomainController, [](const ComponentJob& job) { SystemVolume::Backup(job.directory); },
         2, Gate::RestoreMode, [](const ComponentJob& job) { SystemVolume::Restore(job.directory); }},
        {L"--certificate-services", L"Certificate Services", &Options::m_bCertificateServices,
         CertificateServicesNames, &CertificateServicesFolders::Live,
         3, Gate::CertificateServices,
         [](const ComponentJob& job) { CertificateServices().Backup(job.server, job.directory, job.truncateLogs); },
         3, Gate::CertificateServices,
         [](const ComponentJob& job) { CertificateServices().Restore(job.server, job.directory); }},
        {L"--cluster", L"cluster database", &Options::m_bClusterDatabase, ClusterNames, &ClusterDatabaseFolders::Live,
         4, Gate::ClusterNode, [](const ComponentJob& job) { ClusterDatabase::Backup(job.directory); },
         4, Gate::ClusterNode, [](const ComponentJob& job) {
             ClusterDatabase::Restore(job.directory, job.forceClusterShutdown, job.quorumDriveLetter);
         }},
        {L"--registry", L"registry", &Options::m_bRegistryService, RegistryNames, nullptr,
         5, Gate::None, [](const ComponentJob& job) { RegistryService::Backup(job.directory); },
         6, Gate::None, [](const ComponentJob& job) { RegistryService::Restore(job.directory); }},
        {L"--complus", L"COM+ database", &Options::m_bCOMDatabase, ComPlusNames, nullptr,
         6, Gate::None, [](const ComponentJob& job) { COMDatabase::Backup(job.directory); },
         1, Gate::None, [](const ComponentJob& job) { COMDatabase::Restore(job.directory); }},
    };

    using Entry = void (*)(const ComponentJob&);

    // One of the two runs: which position, gate and entry of each row it uses.
    struct Run
    {
        int Component::*position;
        ComponentGate Component::*gate;
        Entry Component::*entry;
    };

    const Run BackupRun = {&Component::backupPosition, &Component::backupGate, &Component::backup};
    const Run RestoreRun = {&Component::restorePosition, &Component::restoreGate, &Component::restore};

    // Empty, or the caller's text when restore mode cannot be found out.
    String RunComponents(const Run& run, ComponentList components, const Options& options, const ComponentJob& job,
                         ComponentPlatform& platform)
    {
        std::vector<const Component*> ordered;
        for (const Component& component : components)
            ordered.push_back(&component);
        std::stable_sort(ordered.begin(), ordered.end(), [&](const Component* left, const Component* right) {
            return left->*run.position < right->*run.position;
        });

        bool restoreModeKnown = false;
        bool restoreMode = false;
        for (const Component* component : ordered)
        {
            const ComponentGate gate = component->*run.gate;
            // Asked where it stands in the order, enabled or not: a machine whose mode cannot be
            // read stops there.
            if (gate == Gate::RestoreMode && !restoreModeKnown)
            {
                if (!platform.QueryRestoreMode(restoreMode))
                    return L"IsActiveDirectoryRestoreMode() failed.";
                restoreModeKnown = true;
            }
            if (options.*component->flag == VARIANT_FALSE)
                continue;
            bool passes = true;
            switch (gate)
            {
            case Gate::None:
                break;
            case Gate::DomainController:
                passes = platform.IsDomainController();
                break;
            case Gate::ClusterNode:
                passes = platform.IsClusterNode();
                break;
            case Gate::CertificateServices:
                passes = platform.IsCertificateServicesInstalled(job.server);
                break;
            case Gate::RestoreMode:
                passes = restoreMode;
                break;
            }
            // A component the machine does not have is skipped without a word.
            if (passes)
                (component->*run.entry)(job);
        }
        return String();
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
    bool IsEmptyOrEarlierBackup(ComponentList components, const String& directory)
    {
        const auto entries = TopLevelEntries(directory);
        // A folder that cannot be listed cannot be emptied either; the emptying reports it.
        if (!entries)
            return true;
        for (const TopLevelEntry& entry : *entries)
        {
            bool known = !entry.isDirectory && std::any_of(std::begin(CatalogFiles), std::end(CatalogFiles),
                                                           [&](const wchar_t* file) {
                                                               return Strings::EqualsNoCase(entry.name, file);
                                                           });
            for (const Component& component : components)
                known = known || IsWrittenBy(component, entry, *entries);
            if (!known)
                return false;
        }
        return true;
    }

    // Whether the backup would go into a live folder of a component it copies.
    bool IsInLiveFolder(ComponentList components, const Options& options, const String& directory)
    {
        for (const Component& component : components)
        {
            if (options.*component.flag == VARIANT_FALSE || component.liveFolders == nullptr)
                continue;
            for (const String& folder : component.liveFolders())
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

namespace Components
{
    ComponentList All()
    {
        return {Table, sizeof Table / sizeof Table[0]};
    }

    void CheckBackupTarget(ComponentList components, const Options& options, const String& directory)
    {
        const String local = Strings::StartsWithNoCase(directory, L"\\\\?\\") ? directory.substr(4) : directory;
        const bool invalid =
            // A colon past the drive names a stream of a file, not a folder.
            local.find(L':', 2) != String::npos ||
            // "C:" alone is the current folder of that drive to the system, its root to the file layer.
            IsRootPath(directory) || IsRootPath(Paths::GetFullPath(directory)) || IsWindowsDirectory(directory) ||
            // A copy into the tree it copies never ends, and a restore would write into its own source.
            IsInLiveFolder(components, options, directory) ||
            (Directories::Exists(directory) && !IsEmptyOrEarlierBackup(components, directory));
        if (invalid)
            throw FileSystemException(Strings::Format(L"Invalid backup directory: %s", directory.c_str()));
    }

    String Backup(ComponentList components, const Options& options, const ComponentJob& job,
                  ComponentPlatform& platform)
    {
        // The target holds exactly one backup: empty it, or create it (one level; the parent must
        // exist).
        if (Directories::Exists(job.directory))
        {
            CheckBackupTarget(components, options, job.directory);
            String failedEntry;
            if (!Directories::DeleteFiles(job.directory, L"*", &failedEntry))
            {
                const String error = ErrorText::FormatLastError();
                return Strings::Format(L"Could not delete directory: %s\nCould not delete %s: %s",
                                       job.directory.c_str(), AsGiven(job.directory, failedEntry).c_str(),
                                       error.c_str());
            }
        }
        else
        {
            CheckBackupTarget(components, options, job.directory);
            if (!CreateDirectoryW(job.directory.c_str(), nullptr))
                return L"CreateDirectory failed: " + ErrorText::FormatLastError();
        }
        return RunComponents(BackupRun, components, options, job, platform);
    }

    String Restore(ComponentList components, const Options& options, const ComponentJob& job,
                   ComponentPlatform& platform)
    {
        return RunComponents(RestoreRun, components, options, job, platform);
    }

    bool HasMark(const Component& component, const String& directory)
    {
        const auto entries = TopLevelEntries(directory);
        return entries && HasMarkAmong(component, *entries);
    }

    void ActiveDirectoryIsOnline(const String& server, DWORD& online)
    {
        BOOL answer = FALSE;
        ActiveDirectory().IsOnline(server, answer);
        online = answer != FALSE ? 1 : 0;
    }
}
