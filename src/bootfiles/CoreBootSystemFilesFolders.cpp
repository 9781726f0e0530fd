#include "bootfiles/CoreBootSystemFilesFolders.h"

#include "files/Directories.h"
#include "platform/EnvironmentVariables.h"
#include "registry/RegistryKey.h"

#include <vector>

namespace
{
    // Empty when the text cannot be expanded.
    String Expanded(const String& text)
    {
        EnvironmentVariables variables;
        String expanded;
        if (variables.Expand(text, expanded) != S_OK)
            return String();
        return expanded;
    }
}

namespace CoreBootSystemFilesFolders
{
    StringList Live()
    {
        StringList folders;
        const String systemRoot = Directories::RemoveBackslash(Expanded(L"%SystemRoot%"));
        if (!systemRoot.empty())
        {
            folders.push_back(systemRoot + L"\\System32");
            std::vector<wchar_t> volume(systemRoot.size() + 2);
            if (GetVolumePathNameW(systemRoot.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
            {
                String staging = volume.data();
                Directories::AppendBackslash(staging);
                folders.push_back(staging + L"SystemStateRestore");
            }
        }
        String cache;
        if (Registry::GetString(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon",
                                L"SfcDllCache", cache) == ERROR_SUCCESS)
        {
            cache = Expanded(cache);
            if (!cache.empty())
                folders.push_back(cache);
        }
        const String allUsers = Expanded(L"%AllUsersProfile%");
        if (!allUsers.empty())
            folders.push_back(Directories::RemoveBackslash(allUsers) + L"\\Microsoft\\Crypto\\RSA\\MachineKeys");
        return folders;
    }
}
