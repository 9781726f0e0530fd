#include "module/Components.h"

#include "activedirectory/ActiveDirectory.h"
#include "bootfiles/CoreBootSystemFiles.h"
#include "certsrv/CertificateServices.h"
#include "cluster/ClusterDatabase.h"
#include "common/ErrorText.h"
#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/Handles.h"
#include "complus/COMDatabase.h"
#include "registry/RegistryService.h"
#include "sysvol/SystemVolume.h"

#include <algorithm>
#include <vector>

namespace
{
    // A component that is not part of this build refuses the work with its own exception: a
    // caller who asked for it must not get a backup without it.
    template <typename ComponentException>
    [[noreturn]] void NotBuilt(const wchar_t* component)
    {
        throw ComponentException(Strings::Format(L"The %s component is not available in this build", component));
    }

    using Options = _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS;
    using Gate = ComponentGate;

    // Backup order as listed; the registry restores last, once everything else is in place, and
    // the directory restores run only in restore mode.
    const Component Table[] = {
        {L"--boot-files", L"boot files", &Options::m_bCoreBootSystemFiles, L"CoreBootSystemFilesBackupSet.xml",
         0, Gate::None, [](const ComponentJob& job) { CoreBootSystemFiles::Backup(job.directory); },
         0, Gate::None, [](const ComponentJob& job) { CoreBootSystemFiles::Restore(job.directory); }},
        {L"--active-directory", L"Active Directory", &Options::m_bActiveDirectory, L"ActiveDirectoryBackupSet.xml",
         1, Gate::DomainController,
         [](const ComponentJob& job) {
             ActiveDirectory().Backup(job.server, job.domain, job.user, job.password, job.directory, job.truncateLogs);
         },
         5, Gate::RestoreMode,
         [](const ComponentJob& job) {
             ActiveDirectory().Restore(job.server, job.domain, job.user, job.password, job.directory);
         }},
        {L"--sysvol", L"SysVol", &Options::m_bSystemVolume, L"SystemVolumeBackupSet.xml",
         2, Gate::DomainController, [](const ComponentJob& job) { SystemVolume::Backup(job.directory); },
         2, Gate::RestoreMode, [](const ComponentJob& job) { SystemVolume::Restore(job.directory); }},
        {L"--certificate-services", L"Certificate Services", &Options::m_bCertificateServices,
         L"CertificateServicesBackupSet.xml",
         3, Gate::CertificateServices,
         [](const ComponentJob& job) { CertificateServices().Backup(job.server, job.directory, job.truncateLogs); },
         3, Gate::CertificateServices,
         [](const ComponentJob& job) { CertificateServices().Restore(job.server, job.directory); }},
        // The cluster service writes only a "Cluster" folder: no file marks its backup.
        {L"--cluster", L"cluster database", &Options::m_bClusterDatabase, nullptr,
         4, Gate::ClusterNode, [](const ComponentJob& job) { ClusterDatabase::Backup(job.directory); },
         4, Gate::ClusterNode, [](const ComponentJob& job) {
             ClusterDatabase::Restore(job.directory, job.forceClusterShutdown, job.quorumDriveLetter);
         }},
        {L"--registry", L"registry", &Options::m_bRegistryService, L"RegistryBackupSet.xml",
         5, Gate::None, [](const ComponentJob& job) { RegistryService::Backup(job.directory); },
         6, Gate::None, [](const ComponentJob& job) { RegistryService::Restore(job.directory); }},
        // The catalog's one file is the whole backup.
        {L"--complus", L"COM+ database", &Options::m_bCOMDatabase, L"comDB.reg",
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

    // Nothing in it, or one of the components' top-level files among what is.
    bool IsEmptyOrEarlierBackup(ComponentList components, const String& directory)
    {
        const String longDirectory = Directories::RemoveBackslash(Paths::ToLongPath(directory));
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longDirectory + L"\\*").c_str(), &entry));
        // A folder that cannot be listed cannot be emptied either; the emptying reports it.
        if (!search)
            return true;
        bool empty = true;
        do
        {
            if (Directories::IsDotEntry(entry.cFileName))
                continue;
            empty = false;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            for (const Component& component : components)
                if (component.topLevelFile != nullptr && Strings::EqualsNoCase(entry.cFileName, component.topLevelFile))
                    return true;
        } while (FindNextFileW(search.get(), &entry));
        return empty;
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

    void CheckBackupTarget(ComponentList components, const String& directory)
    {
        // A colon past the drive names a stream of a file, not a folder.
        const String local = Strings::StartsWithNoCase(directory, L"\\\\?\\") ? directory.substr(4) : directory;
        if (local.find(L':', 2) != String::npos)
            InvalidTarget(directory);
        // "C:" alone is the current folder of that drive to the system, its root to the file layer.
        if (IsRootPath(directory) || IsRootPath(Paths::GetFullPath(directory)) || IsWindowsDirectory(directory))
            InvalidTarget(directory);
        if (Directories::Exists(directory) && !IsEmptyOrEarlierBackup(components, directory))
            InvalidTarget(directory);
    }

    String Backup(ComponentList components, const Options& options, const ComponentJob& job,
                  ComponentPlatform& platform)
    {
        // The target holds exactly one backup: empty it, or create it (one level; the parent must
        // exist).
        if (Directories::Exists(job.directory))
        {
            CheckBackupTarget(components, job.directory);
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
            CheckBackupTarget(components, job.directory);
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

    void ActiveDirectoryIsOnline(const String& server, DWORD& online)
    {
        BOOL answer = FALSE;
        ActiveDirectory().IsOnline(server, answer);
        online = answer != FALSE ? 1 : 0;
    }
}
