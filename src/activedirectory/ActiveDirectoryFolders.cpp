#include "activedirectory/ActiveDirectoryFolders.h"

#include "files/Directories.h"
#include "registry/RegistryKey.h"

namespace ActiveDirectoryFolders
{
    StringList Live()
    {
        const wchar_t* const parameters = L"SYSTEM\\CurrentControlSet\\Services\\NTDS\\Parameters";
        StringList folders;
        String value;
        if (Registry::GetString(HKEY_LOCAL_MACHINE, parameters, L"DSA Database file", value) == ERROR_SUCCESS &&
            !value.empty())
            folders.push_back(Directories::GetDirectory(value, true));
        for (const wchar_t* name : {L"DSA Working Directory", L"Database log files path"})
        {
            value.clear();
            if (Registry::GetString(HKEY_LOCAL_MACHINE, parameters, name, value) == ERROR_SUCCESS && !value.empty())
                folders.push_back(value);
        }
        return folders;
    }
}
