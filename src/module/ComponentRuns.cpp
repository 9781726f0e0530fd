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
    using Entry = void (*)(const ComponentJob&);

    // Each component's entries, by its option flag.
    const struct
    {
        VARIANT_BOOL Options::*flag;
        Entry backup;
        Entry restore;
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

    std::vector<ComponentEntries> SystemRows()
    {
        std::vector<ComponentEntries> rows;
        for (const Component& component : Components::All())
            for (const auto& entries : Entries)
                if (entries.flag == component.flag)
                    rows.push_back({&component, entries.backup, entries.restore});
        return rows;
    }
    // Built before anything runs: the table is constant data.
    const std::vector<ComponentEntries> SystemTable = SystemRows();

    // One of the two runs: which position, gate and entry of each row it uses.
    struct Run
    {
        int Component::*position;
        ComponentGate Component::*gate;
        Entry ComponentEntries::*entry;
    };

    const Run BackupRun = {&Component::backupPosition, &Component::backupGate, &ComponentEntries::backup};
    const Run RestoreRun = {&Component::restorePosition, &Component::restoreGate, &ComponentEntries::restore};

    // Empty, or the caller's text when restore mode cannot be found out.
    String RunComponents(const Run& run, ComponentEntriesList components, const Options& options,
                         const ComponentJob& job, ComponentPlatform& platform)
    {
        std::vector<const ComponentEntries*> ordered;
        for (const ComponentEntries& row : components)
            ordered.push_back(&row);
        std::stable_sort(ordered.begin(), ordered.end(), [&](const ComponentEntries* left, const ComponentEntries* right) {
            return left->component->*run.position < right->component->*run.position;
        });

        bool restoreModeKnown = false;
        bool restoreMode = false;
        for (const ComponentEntries* row : ordered)
        {
            const ComponentGate gate = row->component->*run.gate;
            // Asked where it stands in the order, enabled or not: a machine whose mode cannot be
            // read stops there.
            if (gate == ComponentGate::RestoreMode && !restoreModeKnown)
            {
                if (!platform.QueryRestoreMode(restoreMode))
                    return L"IsActiveDirectoryRestoreMode() failed.";
                restoreModeKnown = true;
            }
            // A component the machine does not have is skipped without a word.
            if (options.*row->component->flag != VARIANT_FALSE &&
                Components::Passes(gate, platform, job.server, restoreMode))
                (row->*run.entry)(job);
        }
        return String();
    }
}

namespace ComponentRuns
{
    ComponentEntriesList All()
    {
        return {SystemTable.data(), SystemTable.size()};
    }

    String Backup(ComponentEntriesList components, const Options& options, const ComponentJob& job,
                  ComponentPlatform& platform)
    {
        const String failure = BackupTarget::Prepare(options, job.directory);
        return failure.empty() ? RunComponents(BackupRun, components, options, job, platform) : failure;
    }

    String Restore(ComponentEntriesList components, const Options& options, const ComponentJob& job,
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
