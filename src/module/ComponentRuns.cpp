#include "module/ComponentRuns.h"

#include "activedirectory/ActiveDirectory.h"
#include "bootfiles/CoreBootSystemFiles.h"
#include "certsrv/CertificateServices.h"
#include "cluster/ClusterDatabase.h"
#include "complus/COMDatabase.h"
#include "module/BackupTarget.h"
#include "registry/RegistryService.h"
#include "sysvol/SystemVolume.h"

#include <algorithm>
#include <vector>

namespace
{
    using Options = _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS;
    using Call = void (*)(const ComponentJob&);

    // Each component's code, by its option flag.
    const struct
    {
        VARIANT_BOOL Options::*flag;
        Call backup;
        Call restore;
    } Entries[] = {
        {&Options::m_bCoreBootSystemFiles, [](const ComponentJob& job) { CoreBootSystemFiles::Backup(job.directory); },
         [](const ComponentJob& job) { CoreBootSystemFiles::Restore(job.directory); }},
        {&Options::m_bActiveDirectory,
         [](const ComponentJob& job) {
             ActiveDirectory().Backup(job.server, job.domain, job.user, job.password.Get(), job.directory,
                                      job.truncateLogs);
         },
         [](const ComponentJob& job) {
             ActiveDirectory().Restore(job.server, job.domain, job.user, job.password.Get(), job.directory);
         }},
        {&Options::m_bSystemVolume, [](const ComponentJob& job) { SystemVolume::Backup(job.directory); },
         [](const ComponentJob& job) { SystemVolume::Restore(job.directory); }},
        {&Options::m_bCertificateServices,
         [](const ComponentJob& job) { CertificateServices().Backup(job.server, job.directory, job.truncateLogs); },
         [](const ComponentJob& job) { CertificateServices().Restore(job.server, job.directory); }},
        {&Options::m_bClusterDatabase, [](const ComponentJob& job) { ClusterDatabase::Backup(job.directory); },
         [](const ComponentJob& job) {
             ClusterDatabase::Restore(job.directory, job.forceClusterShutdown, job.quorumDriveLetter);
         }},
        {&Options::m_bRegistryService, [](const ComponentJob& job) { RegistryService::Backup(job.directory); },
         [](const ComponentJob& job) { RegistryService::Restore(job.directory); }},
        {&Options::m_bCOMDatabase, [](const ComponentJob& job) { COMDatabase::Backup(job.directory); },
         [](const ComponentJob& job) { COMDatabase::Restore(job.directory); }},
    };

    // One of the two runs: which position, gate and entry of each row it uses.
    struct Run
    {
        int Component::*position;
        ComponentGate Component::*gate;
    };

    const Run BackupRun = {&Component::backupPosition, &Component::backupGate};
    const Run RestoreRun = {&Component::restorePosition, &Component::restoreGate};

    // Empty, or the caller's text when restore mode cannot be found out.
    String RunComponents(const Run& run, const Options& options, const ComponentJob& job, ComponentPlatform& platform,
                         ComponentRuns::Entry entry)
    {
        std::vector<const Component*> ordered;
        for (const Component& component : Components::All())
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
            if (gate == ComponentGate::RestoreMode && !restoreModeKnown)
            {
                if (!platform.QueryRestoreMode(restoreMode))
                    return L"IsActiveDirectoryRestoreMode() failed.";
                restoreModeKnown = true;
            }
            // A component the machine does not have is skipped without a word.
            if (options.*component->flag != VARIANT_FALSE && Components::Passes(gate, platform, job.server, restoreMode))
                entry(*component, job);
        }
        return String();
    }
}

namespace ComponentRuns
{
    void BackupEntry(const Component& component, const ComponentJob& job)
    {
        for (const auto& entries : Entries)
            if (entries.flag == component.flag)
                entries.backup(job);
    }

    void RestoreEntry(const Component& component, const ComponentJob& job)
    {
        for (const auto& entries : Entries)
            if (entries.flag == component.flag)
                entries.restore(job);
    }

    String Backup(const Options& options, const ComponentJob& job, ComponentPlatform& platform, Entry entry)
    {
        const String failure = BackupTarget::Prepare(options, job.directory);
        return failure.empty() ? RunComponents(BackupRun, options, job, platform, entry) : failure;
    }

    String Restore(const Options& options, const ComponentJob& job, ComponentPlatform& platform, Entry entry)
    {
        return RunComponents(RestoreRun, options, job, platform, entry);
    }

    void ActiveDirectoryIsOnline(const String& server, DWORD& online)
    {
        BOOL answer = FALSE;
        ActiveDirectory().IsOnline(server, answer);
        online = answer != FALSE ? 1 : 0;
    }
}
