#include "certsrv/CertificateServicesFolders.h"

#include "platform/Libraries.h"
#include "registry/RegistryKey.h"

namespace CertificateServicesFolders
{
    StringList Live()
    {
        StringList folders;
        // Where the restore empties and refills the authority's files.
        for (const wchar_t* value : {L"DBDirectory", L"DBLogDirectory", L"DBSystemDirectory", L"DBTempDirectory"})
        {
            String configured;
            if (Registry::GetString(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\CertSvc\\Configuration",
                                    value, configured) == ERROR_SUCCESS &&
                !configured.empty())
                folders.push_back(configured);
        }
        // Where the dynamic files go back.
        const String system = Libraries::SystemFolder();
        if (!system.empty())
            folders.push_back(system + L"\\CertSrv\\CertEnroll");
        return folders;
    }
}
