#include "registry/RegistryService.h"

#include "common/ErrorText.h"
#include "common/FileSystem.h"
#include "common/Handles.h"
#include "registry/RegistryBackupSet.h"
#include "registry/RegistryKey.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace
{
    const wchar_t* const SelectPath = L"System\\Select";
    const wchar_t* const KeysNotToRestorePath = L"System\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";
    const wchar_t* const CurrentControlSet = L"CurrentControlSet";
    const wchar_t* const ReliabilityPath = L"\\Microsoft\\Windows\\CurrentVersion\\Reliability";

    int Number(HKEY key)
    {
        return static_cast<int>(reinterpret_cast<LONG_PTR>(key));
    }

    // path + "\" + name, or path itself for an empty name.
    String Join(const String& path, const String& name)
    {
        return name.empty() ? path : path + L"\\" + name;
    }

    // Whether root\path is missing altogether (as opposed to present but not openable).
    bool KeyIsMissing(HKEY root, const String& path)
    {
        UniqueRegKey key;
        return RegOpenKeyExW(root, path.c_str(), 0, MAXIMUM_ALLOWED, key.put()) == ERROR_FILE_NOT_FOUND;
    }

    // While a saved hive is loaded under its temporary name: unloads it again when a step fails,
    // so that a failed restore leaves the live registry as it found it and can be run again.
    class LoadedHive
    {
    public:
        LoadedHive(HKEY root, const String& name) : m_root(root), m_name(name) {}
        LoadedHive(const LoadedHive&) = delete;
        LoadedHive& operator=(const LoadedHive&) = delete;
        ~LoadedHive()
        {
            if (!m_loaded)
                return;
            m_key.reset();
            const DWORD lastError = GetLastError();
            RegUnLoadKeyW(m_root, m_name.c_str());
            SetLastError(lastError);
        }

        // The key opened on the loaded hive; closed before an unload.
        UniqueRegKey& Key() { return m_key; }
        void Unloaded() { m_loaded = false; }

    private:
        HKEY m_root;
        String m_name;
        UniqueRegKey m_key;
        bool m_loaded = true;
    };
}

void RegistryService::Restore(const String& directory)
{
    const String regDirectory = Strings::Format(L"%s\\Reg", directory.c_str());
    try
    {
        RegistryBackupSet backupSet(directory);
        backupSet.Open();
        for (const HiveFileEntry& entry : backupSet.GetFiles())
            RestoreHive(regDirectory, entry);
    }
    catch (const CRegistryKey::Exception&)
    {
        // The component object catches only the module exceptions.
        throw RegistryServiceException(L"CRegistryKey::Exception thrown");
    }
}

void RegistryService::RestoreHive(const String& regDirectory, HiveFileEntry entry)
{
    // The manifest may come from anywhere: its file path must not lead the files written and
    // deleted next to the saved hive out of the backup.
    if (!IsPathBelowFolder(entry.GetFilePath()))
        throw RegistryServiceException(Strings::Format(L"Invalid hive file path: %s", entry.GetFilePath().c_str()));

    const HKEY root = entry.GetRootKey();
    const String subkey = entry.GetSubkey();
    const String temporaryName = entry.GetTemporaryName();
    const String savedHive = regDirectory + L"\\" + entry.GetFilePath();
    const String replacementFile = savedHive + L".tmp";
    const String oldHiveFile = savedHive + L".bak";
    const String hiveName = Strings::ToUpper(subkey);

    LONG status = RegLoadKeyW(root, temporaryName.c_str(), savedHive.c_str());
    if (status != ERROR_SUCCESS)
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(Strings::Format(L"RegLoadKey(%d, %s, %s) failed: %d\n%s", Number(root),
                                                       temporaryName.c_str(), savedHive.c_str(), status,
                                                       error.c_str()));
    }
    LoadedHive loaded(root, temporaryName);

    if (hiveName == L"SYSTEM")
        CopyKeysNotToRestore(root, subkey, temporaryName);

    status = RegFlushKey(root);
    if (status != ERROR_SUCCESS)
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(
            Strings::Format(L"RegFlushKey(%d) failed: %d\n%s", Number(root), status, error.c_str()));
    }

    Wow64 wow64;
    // A 32-bit process must reach the hive itself, not its redirected part.
    const REGSAM access = MAXIMUM_ALLOWED | (wow64.IsWow64Process() ? KEY_WOW64_64KEY : 0);
    status = RegOpenKeyExW(root, temporaryName.c_str(), 0, access, loaded.Key().put());
    if (status != ERROR_SUCCESS)
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(Strings::Format(L"RegOpenKeyEx(%d, %s) failed: %d\n%s", Number(root),
                                                       temporaryName.c_str(), status, error.c_str()));
    }

    // The restored system must not take the last shutdown of the backed-up one for its own.
    if (hiveName == L"SOFTWARE")
    {
        CRegistryKey reliability(root, temporaryName + ReliabilityPath, KEY_ALL_ACCESS);
        reliability.SetValue(L"LastAliveStamp", L"", REG_SZ);
    }

    if (Files::Exists(replacementFile) && !Files::Delete(replacementFile))
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(
            Strings::Format(L"DeleteFile(%s) failed.\n%s", replacementFile.c_str(), error.c_str()));
    }

    status = RegSaveKeyW(loaded.Key().get(), replacementFile.c_str(), nullptr);
    if (status != ERROR_SUCCESS)
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(Strings::Format(L"RegSaveKey(%d, %s) failed: %d\n%s", Number(loaded.Key().get()),
                                                       replacementFile.c_str(), status, error.c_str()));
    }

    const HKEY loadedKey = loaded.Key().release();
    status = RegCloseKey(loadedKey);
    if (status != ERROR_SUCCESS)
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(
            Strings::Format(L"RegCloseKey(%d) failed: %d\n%s", Number(loadedKey), status, error.c_str()));
    }

    status = RegUnLoadKeyW(root, temporaryName.c_str());
    if (status != ERROR_SUCCESS)
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(Strings::Format(L"RegUnLoadKey(%d, %s) failed: %d\n%s", Number(root),
                                                       temporaryName.c_str(), status, error.c_str()));
    }
    loaded.Unloaded();

    UniqueRegKey live;
    status = RegOpenKeyExW(root, subkey.c_str(), REG_OPTION_BACKUP_RESTORE, access, live.put());
    if (status != ERROR_SUCCESS)
    {
        // A user who is not logged on now has no hive to replace; the prepared file stays.
        if (root == HKEY_USERS)
            return;
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(Strings::Format(L"RegOpenKeyEx(%d, %s) failed: %d\n%s", Number(root),
                                                       subkey.c_str(), status, error.c_str()));
    }

    status = RegReplaceKeyW(live.get(), nullptr, replacementFile.c_str(), oldHiveFile.c_str());
    if (status != ERROR_SUCCESS)
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(Strings::Format(L"RegReplaceKey(%d, %s, %s, %s) failed: %d\n%s",
                                                       Number(live.get()), subkey.c_str(), replacementFile.c_str(),
                                                       oldHiveFile.c_str(), status, error.c_str()));
    }

    const HKEY liveKey = live.release();
    status = RegCloseKey(liveKey);
    if (status != ERROR_SUCCESS)
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(
            Strings::Format(L"RegCloseKey(%d) failed: %d\n%s", Number(liveKey), status, error.c_str()));
    }
}

void RegistryService::CopyKeysNotToRestore(HKEY root, const String& subkey, const String& temporaryName)
{
    // The list names control-set keys through CurrentControlSet, a link that a loaded copy of the
    // hive does not have: both sides are reached through the control set the live system uses.
    const CRegistryKey select(root, SelectPath, MAXIMUM_ALLOWED);
    DWORD defaultSet = 0;
    select.QueryValue(L"Default", defaultSet);
    const String controlSet = Strings::Format(L"ControlSet%03d", static_cast<int>(defaultSet));

    const CRegistryKey list(root, KeysNotToRestorePath, MAXIMUM_ALLOWED);
    for (auto value = list.BeginValues(); value != list.EndValues(); ++value)
    {
        const String name = value.GetName();
        StringList entries;
        const LONG status = Registry::GetMultiString(root, KeysNotToRestorePath, name, entries);
        if (status != ERROR_SUCCESS)
        {
            const String error = ErrorText::FormatLastError();
            throw RegistryServiceException(Strings::Format(L"Registry::GetMultiString(%d, %s, %s) failed: %d\n%s",
                                                           Number(root), KeysNotToRestorePath, name.c_str(), status,
                                                           error.c_str()));
        }

        for (String entry : entries)
        {
            if (entry.compare(0, wcslen(CurrentControlSet), CurrentControlSet) == 0)
                entry = controlSet + entry.substr(wcslen(CurrentControlSet));

            if (entry.back() == L'\\')
            {
                entry.pop_back();
                CopyRegistryKey(root, Join(subkey, entry), root, Join(temporaryName, entry));
            }
            else if (entry.back() == L'*')
            {
                // "<key>\*": every child key, unless the saved one starts earlier than the live one.
                entry.erase(entry.size() >= 2 ? entry.size() - 2 : 0);
                const String livePath = Join(subkey, entry);
                const String savedPath = Join(temporaryName, entry);
                const CRegistryKey parent(root, livePath, MAXIMUM_ALLOWED);
                for (auto child = parent.BeginSubkeys(); child != parent.EndSubkeys(); ++child)
                {
                    const String live = Join(livePath, child.GetName());
                    const String saved = Join(savedPath, child.GetName());
                    int liveStart = 0;
                    if (!FindStart(root, live, liveStart))
                        continue;
                    // A child the backup did not have (a service installed since) is carried
                    // over like one whose saved copy has no start value.
                    int savedStart = 0;
                    if (KeyIsMissing(root, saved) || !FindStart(root, saved, savedStart) || liveStart < savedStart)
                        CopyRegistryKey(root, live, root, saved);
                }
            }
            else
            {
                const size_t slash = entry.rfind(L'\\');
                const String key = slash == String::npos ? String() : entry.substr(0, slash);
                const String valueName = slash == String::npos ? entry : entry.substr(slash + 1);
                // A value the live system does not have is no reason to stop.
                CopyValue(root, Join(subkey, key), valueName, root, Join(temporaryName, key), valueName);
            }
        }
    }
}

bool RegistryService::FindStart(HKEY root, const String& path, int& start)
{
    const CRegistryKey key(root, path, MAXIMUM_ALLOWED);
    for (auto value = key.BeginValues(); value != key.EndValues(); ++value)
    {
        if (!Strings::EqualsNoCase(value.GetName(), L"start"))
            continue;
        if (value.GetType() == REG_DWORD)
        {
            DWORD number = 0;
            memcpy(&number, value.GetData(), std::min<DWORD>(value.GetDataSize(), sizeof(number)));
            start = static_cast<int>(number);
        }
        else
        {
            start = static_cast<int>(wcstol(value.GetValueText().c_str(), nullptr, 10));
        }
        return true;
    }

    for (auto child = key.BeginSubkeys(); child != key.EndSubkeys(); ++child)
    {
        if (FindStart(root, path + L"\\" + child.GetName(), start))
            return true;
    }
    return false;
}
