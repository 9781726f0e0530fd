// One line per component entry. A component that is not part of this build refuses the work
// with its own exception: a caller who asked for it must not get a backup without it.

#include "module/Components.h"

#include "common/Exceptions.h"
#include "registry/RegistryService.h"

namespace
{
    template <typename ComponentException>
    [[noreturn]] void NotBuilt(const wchar_t* component)
    {
        throw ComponentException(Strings::Format(L"The %s component is not available in this build", component));
    }
}

namespace Components
{
    void CoreBootSystemFilesBackup(const ComponentJob&) { NotBuilt<CoreBootSystemFilesException>(L"core boot and system files"); }
    void CoreBootSystemFilesRestore(const ComponentJob&) { NotBuilt<CoreBootSystemFilesException>(L"core boot and system files"); }
    void ActiveDirectoryBackup(const ComponentJob&) { NotBuilt<ActiveDirectoryException>(L"Active Directory"); }
    void ActiveDirectoryRestore(const ComponentJob&) { NotBuilt<ActiveDirectoryException>(L"Active Directory"); }
    void ActiveDirectoryIsOnline(const String&, DWORD&) { NotBuilt<ActiveDirectoryException>(L"Active Directory"); }
    void SystemVolumeBackup(const ComponentJob&) { NotBuilt<SystemVolumeException>(L"SysVol"); }
    void SystemVolumeRestore(const ComponentJob&) { NotBuilt<SystemVolumeException>(L"SysVol"); }
    void CertificateServicesBackup(const ComponentJob&) { NotBuilt<CertificateServicesException>(L"Certificate Services"); }
    void CertificateServicesRestore(const ComponentJob&) { NotBuilt<CertificateServicesException>(L"Certificate Services"); }
    void ClusterDatabaseBackup(const ComponentJob&) { NotBuilt<ClusterDatabaseException>(L"cluster database"); }
    void ClusterDatabaseRestore(const ComponentJob&) { NotBuilt<ClusterDatabaseException>(L"cluster database"); }
    void RegistryServiceBackup(const ComponentJob& job) { RegistryService::Backup(job.directory); }
    void RegistryServiceRestore(const ComponentJob& job) { RegistryService::Restore(job.directory); }
    void COMDatabaseBackup(const ComponentJob&) { NotBuilt<COMDatabaseException>(L"COM+ database"); }
    void COMDatabaseRestore(const ComponentJob&) { NotBuilt<COMDatabaseException>(L"COM+ database"); }
}
