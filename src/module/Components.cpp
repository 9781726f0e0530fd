#include "module/Components.h"

// Only the names the components give their backups: nothing of their code is linked.
#include "activedirectory/ActiveDirectory.h"
#include "activedirectory/ActiveDirectoryBackupSet.h"
#include "bootfiles/CoreBootSystemFiles.h"
#include "bootfiles/CoreBootSystemFilesBackupSet.h"
#include "certsrv/CertificateServicesBackupSet.h"
#include "cluster/ClusterDatabase.h"
#include "complus/COMDatabase.h"
#include "registry/RegistryBackupSet.h"
#include "sysvol/SystemVolumeBackupSet.h"

namespace
{
    using Options = _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS;
    using Gate = ComponentGate;
    using Kind = TopLevelKind;

    // What each component's backup writes at the top of the target (read from its Backup).
    constexpr const auto& BootFolders = CoreBootSystemFiles::GroupFolders;
    constexpr TopLevelName BootFilesNames[] = {
        {CoreBootSystemFilesBackupSet::FileName, Kind::Mark}, {BootFolders[0], Kind::Folder},
        {BootFolders[1], Kind::Folder}, {BootFolders[2], Kind::Folder}, {BootFolders[3], Kind::Folder},
        {BootFolders[4], Kind::Folder}, {BootFolders[5], Kind::Folder}, {nullptr, Kind::Mark}};
    // The backup API path writes the database and logs under the names the service gives them;
    // the writer path hands its files over into the writer component's folder and writes no
    // manifest.
    constexpr TopLevelName ActiveDirectoryNames[] = {
        {ActiveDirectoryBackupSet::FileName, Kind::Mark}, {ActiveDirectory::WriterComponent, Kind::MarkFolder},
        {L"*.dit", Kind::LooseFiles}, {L"*.log", Kind::LooseFiles}, {L"*.chk", Kind::LooseFiles},
        {L"*.pat", Kind::LooseFiles}, {nullptr, Kind::Mark}};
    constexpr TopLevelName SystemVolumeNames[] = {
        {SystemVolumeBackupSet::FileName, Kind::Mark}, {L"SysVol", Kind::Folder}, {nullptr, Kind::Mark}};
    constexpr TopLevelName CertificateServicesNames[] = {
        {CertificateServicesBackupSet::FileName, Kind::Mark}, {L"CertSrv", Kind::Folder}, {nullptr, Kind::Mark}};
    // The cluster service writes only its folder.
    constexpr TopLevelName ClusterNames[] = {{ClusterDatabase::BackupFolder, Kind::MarkFolder}, {nullptr, Kind::Mark}};
    constexpr TopLevelName RegistryNames[] = {
        {RegistryBackupSet::FileName, Kind::Mark}, {L"Reg", Kind::Folder}, {nullptr, Kind::Mark}};
    // The catalog's one file is the whole backup.
    constexpr TopLevelName ComPlusNames[] = {{COMDatabase::FileName, Kind::Mark}, {nullptr, Kind::Mark}};

    // Backup order as listed; the registry restores last, once everything else is in place, and
    // the directory restores run only in restore mode. Hives and boot files are swapped in by the
    // system at its next start.
    constexpr Component Table[] = {
        {L"--boot-files", L"boot files", &Options::m_bCoreBootSystemFiles, BootFilesNames, L"CoreBootSystemFiles",
         0, Gate::None, 0, Gate::None, true},
        {L"--active-directory", L"Active Directory", &Options::m_bActiveDirectory, ActiveDirectoryNames,
         L"ActiveDirectory", 1, Gate::DomainController, 5, Gate::RestoreMode, false},
        {L"--sysvol", L"SysVol", &Options::m_bSystemVolume, SystemVolumeNames, L"SystemVolume",
         2, Gate::DomainController, 2, Gate::RestoreMode, false},
        {L"--certificate-services", L"Certificate Services", &Options::m_bCertificateServices,
         CertificateServicesNames, L"CertificateServices", 3, Gate::CertificateServices, 3,
         Gate::CertificateServices, false},
        {L"--cluster", L"cluster database", &Options::m_bClusterDatabase, ClusterNames, L"ClusterDatabase",
         4, Gate::ClusterNode, 4, Gate::ClusterNode, false},
        {L"--registry", L"registry", &Options::m_bRegistryService, RegistryNames, L"Registry",
         5, Gate::None, 6, Gate::None, true},
        {L"--complus", L"COM+ database", &Options::m_bCOMDatabase, ComPlusNames, L"COMDatabase",
         6, Gate::None, 1, Gate::None, false},
    };
}

namespace Components
{
    ComponentList All()
    {
        return {Table, sizeof Table / sizeof Table[0]};
    }

    bool Passes(ComponentGate gate, ComponentPlatform& platform, const String& server, bool restoreMode)
    {
        switch (gate)
        {
        case Gate::None:
            return true;
        case Gate::DomainController:
            return platform.IsDomainController();
        case Gate::ClusterNode:
            return platform.IsClusterNode();
        case Gate::CertificateServices:
            return platform.IsCertificateServicesInstalled(server);
        case Gate::RestoreMode:
            return restoreMode;
        }
        return true;
    }

    const wchar_t* SkipReason(ComponentGate gate)
    {
        switch (gate)
        {
        case Gate::None:
            break;
        case Gate::DomainController:
            return L"this machine is not a domain controller";
        case Gate::ClusterNode:
            return L"this machine is not a cluster node";
        case Gate::CertificateServices:
            return L"Certificate Services is not installed on %s";
        case Gate::RestoreMode:
            return L"the machine was not started in directory services restore mode";
        }
        return L"";
    }
}
