#include "registry/RegistryService.h"

#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "platform/MountManagerClient.h"
#include "platform/Wow64.h"
#include "registry/RegistryBackupSet.h"
#include "registry/RegistryFailure.h"
#include "registry/RegistryKey.h"

#include <algorithm>
#include <optional>

using RegistryFailure::Number;

namespace
{
    const wchar_t* const HiveListPath = L"System\\CurrentControlSet\\Control\\hivelist";
    const wchar_t* const DevicePrefix = L"\\Device\\";
    const wchar_t* const DynamicVolumePrefix = L"\\Device\\HarddiskDmVolumes\\";
    // A dynamic volume's device is \Device\HarddiskDmVolumes\<disk group>\<volume>: it ends at
    // the fifth backslash.
    const int DynamicVolumeBackslashes = 5;

    bool StartsWith(const String& text, const wchar_t* prefix)
    {
        return text.compare(0, wcslen(prefix), prefix) == 0;
    }
}

bool RegistryService::SplitHiveFile(const String& hiveFile, String& device, String& path)
{
    // The boot configuration store is loaded as a hive, but it is not registry state to restore.
    if (hiveFile.find(L"\\Boot\\BCD") != String::npos)
        return false;
    const size_t devicePosition = hiveFile.find(DevicePrefix);
    if (devicePosition == String::npos)
        return false;

    size_t end = String::npos;
    if (StartsWith(hiveFile, DynamicVolumePrefix))
    {
        size_t from = 0;
        for (int i = 0; i < DynamicVolumeBackslashes; ++i)
        {
            end = hiveFile.find(L'\\', from);
            from = end == String::npos ? 0 : end + 1;
        }
    }
    else
    {
        end = hiveFile.find(L'\\', devicePosition + wcslen(DevicePrefix));
    }
    // The path on the device is appended to the backup folder: it must not lead out of it.
    if (end == String::npos || !Paths::IsRelativeBelow(hiveFile.substr(end + 1)))
        throw RegistryServiceException(Strings::Format(L"Invalid registry value found in: %s", HiveListPath));

    device = hiveFile.substr(0, end);
    path = hiveFile.substr(end + 1);
    return true;
}

void RegistryService::Backup(const String& directory)
{
    try
    {
        RegistryBackupSet backupSet(directory);
        backupSet.Open();

        const CRegistryKey hiveList(HKEY_LOCAL_MACHINE, HiveListPath, KEY_ALL_ACCESS);
        // Read once for all hives, when the first one needs it.
        std::optional<DosDevices> devices;
        for (auto value = hiveList.BeginValues(); value != hiveList.EndValues(); ++value)
        {
            const String hivePath = value.GetName();
            const String hiveFile = value.GetValueText();
            String device;
            String path;
            if (!SplitHiveFile(hiveFile, device, path))
                continue;

            String drive;
            if (!devices)
                devices.emplace();
            devices->GetDriveLetter(device, drive);
            // "C:" names the folder "C" below Reg.
            std::replace(drive.begin(), drive.end(), L':', L'\\');
            const String filePath = drive + path;
            const String file = directory + L"\\Reg\\" + filePath;

            // Only a hive of its own: an empty subkey would save a whole root.
            const HiveFileEntry entry(filePath, hiveFile, hivePath);
            if (entry.GetRootKey() == nullptr || entry.GetSubkey().empty())
                throw RegistryServiceException(
                    Strings::Format(L"Invalid hive path in %s: %s", HiveListPath, hivePath.c_str()));
            // A hive that is not loaded is not part of this machine's state.
            if (SaveRegistrySubKey(entry.GetRootKey(), entry.GetSubkey(), file))
                backupSet.AddFile(filePath, hiveFile, hivePath);
        }

        if (!backupSet.Save())
            throw RegistryServiceException(L"Could not save backupset.");
    }
    catch (const CRegistryKey::Exception&)
    {
        // The component object catches only the module exceptions.
        throw RegistryServiceException(L"CRegistryKey::Exception thrown");
    }
}

bool RegistryService::SaveRegistrySubKey(HKEY root, const String& subkey, const String& file)
{
    // A 32-bit process must save the 64-bit view: the hive, not its redirected part. Opened,
    // never created: a backup adds nothing to the live registry.
    const REGSAM access = KEY_QUERY_VALUE | (Wow64::IsWow64Process() ? KEY_WOW64_64KEY : 0);
    UniqueRegKey key;
    LONG status = RegOpenKeyExW(root, subkey.c_str(), REG_OPTION_BACKUP_RESTORE, access, key.put());
    if (status == ERROR_FILE_NOT_FOUND)
        return false;
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowSaveCallFailed(status, L"RegOpenKeyEx(%d, %s)", Number(root), subkey.c_str());

    if (!Directories::Create(Directories::GetDirectory(file, true)))
        RegistryFailure::ThrowFailed(L"Directories::Create(Directories::GetDirectory(%s)", file.c_str());

    // Wine's save call overwrites an existing file where Windows' refuses: refuse alike, so that
    // a second backup into the same folder never replaces a hive saved before.
    if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES)
        status = ERROR_ALREADY_EXISTS;
    else
        status = RegSaveKeyW(key.get(), file.c_str(), nullptr);
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowSaveCallFailed(status, L"RegSaveKey(%d, %s)", Number(key.get()), file.c_str());

    const HKEY handle = key.release();
    status = RegCloseKey(handle);
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowSaveCallFailed(status, L"RegCloseKey(%d)", Number(handle));
    return true;
}
