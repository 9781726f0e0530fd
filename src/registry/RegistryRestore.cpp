#include "registry/RegistryService.h"

#include "common/FileSystem.h"
#include "common/Handles.h"
#include "registry/LiveKeys.h"
#include "registry/RegistryBackupSet.h"
#include "registry/RegistryFailure.h"
#include "registry/RegistryKey.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

using RegistryFailure::Number;

namespace
{
    const wchar_t* const SelectPath = L"System\\Select";
    const wchar_t* const KeysNotToRestorePath = L"System\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";
    const wchar_t* const CurrentControlSet = L"CurrentControlSet";
    const wchar_t* const ReliabilityPath = L"\\Microsoft\\Windows\\CurrentVersion\\Reliability";
    // What loading a hive file may write beside it.
    const wchar_t* const HiveLogSuffixes[] = {L".LOG", L".LOG1", L".LOG2"};

    // path + "\" + name, or path itself for an empty name.
    String Join(const String& path, const String& name)
    {
        return name.empty() ? path : path + L"\\" + name;
    }

    // Whether root\path is missing altogether (as opposed to present but not openable).
    bool KeyIsMissing(HKEY root, const String& path)
    {
        UniqueRegKey key;
        return LiveKeys::Open(root, path, key) == ERROR_FILE_NOT_FOUND;
    }

    // The files of one hive's restore, all beside the saved hive in the backup.
    struct HiveFiles
    {
        HiveFiles(const String& regDirectory, const HiveFileEntry& entry)
            : saved(regDirectory + L"\\" + entry.GetFilePath()), replacement(saved + L".tmp"),
              oldHive(saved + L".bak"), work(saved + L".work"), setAside(saved + L".bak.old")
        {
        }

        String saved;       // as the backup wrote it; never changed
        String replacement; // the prepared hive that replaces the live one at the next start
        String oldHive;     // where the platform keeps the live hive it replaces
        String work;        // the copy that is loaded and prepared
        String setAside;    // an earlier restore's old hive while the new replacement is scheduled
    };

    [[noreturn]] void ThrowInUse(const String& file)
    {
        RegistryFailure::ThrowWithLastError(L"%s is in use: a restore scheduled earlier may be waiting for the restart.",
                                            file.c_str());
    }

    // Whether another holder (the platform, for a replacement it has scheduled) keeps file open
    // without letting it be deleted; the last error then tells why.
    bool IsHeld(const String& file)
    {
        const UniqueFileHandle handle(CreateFileW(Paths::ToLongPath(file).c_str(), DELETE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return !handle && GetLastError() == ERROR_SHARING_VIOLATION;
    }

    // The working copy of a saved hive. Loading a hive file makes the system write into it (and
    // logs beside it), and a restore must leave its backup as it found it: the copy is what is
    // loaded, and it goes with this object on every way out, after the hive is unloaded.
    class WorkingCopy
    {
    public:
        explicit WorkingCopy(const String& file) : m_file(file) {}
        WorkingCopy(const WorkingCopy&) = delete;
        WorkingCopy& operator=(const WorkingCopy&) = delete;
        ~WorkingCopy()
        {
            const DWORD lastError = GetLastError();
            DeleteFileW(Paths::ToLongPath(m_file).c_str());
            for (const wchar_t* suffix : HiveLogSuffixes)
                DeleteFileW(Paths::ToLongPath(m_file + suffix).c_str());
            SetLastError(lastError);
        }

        // Copies source over whatever an interrupted attempt left, writable so that it can be
        // loaded and deleted whatever the backup's attributes.
        void CopyFrom(const String& source)
        {
            if (!Files::Copy(source, m_file, true))
                RegistryFailure::ThrowFailed(L"CopyFile(%s, %s)", source.c_str(), m_file.c_str());
            if (!SetFileAttributesW(Paths::ToLongPath(m_file).c_str(), FILE_ATTRIBUTE_NORMAL))
                RegistryFailure::ThrowFailed(L"SetFileAttributes(%s)", m_file.c_str());
        }

    private:
        String m_file;
    };

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

    // A 32-bit process must reach the hive itself, not its redirected part.
    REGSAM HiveAccess()
    {
        Wow64 wow64;
        return MAXIMUM_ALLOWED | (wow64.IsWow64Process() ? KEY_WOW64_64KEY : 0);
    }
}

void RegistryService::Restore(const String& directory)
{
    const String regDirectory = Strings::Format(L"%s\\Reg", directory.c_str());
    try
    {
        RegistryBackupSet backupSet(directory);
        backupSet.Open();
        const std::vector<HiveFileEntry> entries = backupSet.GetFiles();

        // All or nothing: every hive is prepared, and every live hive found, before the first
        // replacement is scheduled, so that a failure never leaves the machine to restart into
        // a mix of restored and unrestored hives.
        for (const HiveFileEntry& entry : entries)
            PrepareHive(regDirectory, entry);
        std::vector<UniqueRegKey> liveHives(entries.size());
        for (size_t i = 0; i < entries.size(); ++i)
            OpenLiveHive(entries[i], liveHives[i]);
        for (size_t i = 0; i < entries.size(); ++i)
        {
            if (liveHives[i])
                ScheduleHive(regDirectory, entries[i], liveHives[i]);
        }
    }
    catch (const CRegistryKey::Exception&)
    {
        // The component object catches only the module exceptions.
        throw RegistryServiceException(L"CRegistryKey::Exception thrown");
    }
}

void RegistryService::RestoreHive(const String& regDirectory, HiveFileEntry entry)
{
    PrepareHive(regDirectory, entry);
    UniqueRegKey live;
    if (OpenLiveHive(entry, live))
        ScheduleHive(regDirectory, entry, live);
}

void RegistryService::PrepareHive(const String& regDirectory, const HiveFileEntry& entry)
{
    // The manifest may come from anywhere: its file path must not lead the files written and
    // deleted next to the saved hive out of the backup.
    if (!IsPathBelowFolder(entry.GetFilePath()))
        throw RegistryServiceException(Strings::Format(L"Invalid hive file path: %s", entry.GetFilePath().c_str()));

    const HKEY root = entry.GetRootKey();
    const String subkey = entry.GetSubkey();
    const String temporaryName = entry.GetTemporaryName();
    const HiveFiles files(regDirectory, entry);
    const String hiveName = Strings::ToUpper(subkey);

    // What an earlier restore left: a replacement or old hive that the platform still holds
    // belongs to a replacement scheduled for the next start, and cannot be prepared again.
    if (Files::Exists(files.replacement) && !Files::Delete(files.replacement))
    {
        if (GetLastError() == ERROR_SHARING_VIOLATION)
            ThrowInUse(files.replacement);
        RegistryFailure::ThrowFailed(L"DeleteFile(%s)", files.replacement.c_str());
    }
    if (Files::Exists(files.oldHive) && IsHeld(files.oldHive))
        ThrowInUse(files.oldHive);

    WorkingCopy work(files.work);
    work.CopyFrom(files.saved);

    LONG status = RegLoadKeyW(root, temporaryName.c_str(), files.work.c_str());
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowCallFailed(status, L"RegLoadKey(%d, %s, %s)", Number(root), temporaryName.c_str(),
                                         files.work.c_str());
    LoadedHive loaded(root, temporaryName);

    if (hiveName == L"SYSTEM")
        CopyKeysNotToRestore(root, subkey, temporaryName);

    status = RegFlushKey(root);
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowCallFailed(status, L"RegFlushKey(%d)", Number(root));

    status = RegOpenKeyExW(root, temporaryName.c_str(), 0, HiveAccess(), loaded.Key().put());
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowCallFailed(status, L"RegOpenKeyEx(%d, %s)", Number(root), temporaryName.c_str());

    // The restored system must not take the last shutdown of the backed-up one for its own.
    if (hiveName == L"SOFTWARE")
    {
        CRegistryKey reliability(root, temporaryName + ReliabilityPath, KEY_ALL_ACCESS);
        reliability.SetValue(L"LastAliveStamp", L"", REG_SZ);
    }

    status = RegSaveKeyW(loaded.Key().get(), files.replacement.c_str(), nullptr);
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowCallFailed(status, L"RegSaveKey(%d, %s)", Number(loaded.Key().get()),
                                         files.replacement.c_str());

    const HKEY loadedKey = loaded.Key().release();
    status = RegCloseKey(loadedKey);
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowCallFailed(status, L"RegCloseKey(%d)", Number(loadedKey));

    status = RegUnLoadKeyW(root, temporaryName.c_str());
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowCallFailed(status, L"RegUnLoadKey(%d, %s)", Number(root), temporaryName.c_str());
    loaded.Unloaded();
}

bool RegistryService::OpenLiveHive(const HiveFileEntry& entry, UniqueRegKey& live)
{
    const HKEY root = entry.GetRootKey();
    const String subkey = entry.GetSubkey();
    const LONG status = RegOpenKeyExW(root, subkey.c_str(), REG_OPTION_BACKUP_RESTORE, HiveAccess(), live.put());
    if (status == ERROR_SUCCESS)
        return true;
    // A user who is not logged on now has no hive to replace; the prepared file stays.
    if (root == HKEY_USERS)
        return false;
    RegistryFailure::ThrowCallFailed(status, L"RegOpenKeyEx(%d, %s)", Number(root), subkey.c_str());
}

void RegistryService::ScheduleHive(const String& regDirectory, const HiveFileEntry& entry, UniqueRegKey& live)
{
    const HiveFiles files(regDirectory, entry);

    // The platform keeps the live hive under the old-hive name and will not overwrite a file
    // there. One left by an earlier restore is set aside, not deleted, until the new
    // replacement is known to be scheduled.
    const bool hadOldHive = Files::Exists(files.oldHive);
    if (hadOldHive)
    {
        if (Files::Exists(files.setAside) && !Files::Delete(files.setAside))
            RegistryFailure::ThrowFailed(L"DeleteFile(%s)", files.setAside.c_str());
        if (!MoveFileExW(Paths::ToLongPath(files.oldHive).c_str(), Paths::ToLongPath(files.setAside).c_str(), 0))
            RegistryFailure::ThrowFailed(L"MoveFileEx(%s, %s)", files.oldHive.c_str(), files.setAside.c_str());
    }

    LONG status = RegReplaceKeyW(live.get(), nullptr, files.replacement.c_str(), files.oldHive.c_str());
    if (status != ERROR_SUCCESS)
    {
        if (hadOldHive)
        {
            const DWORD lastError = GetLastError();
            MoveFileExW(Paths::ToLongPath(files.setAside).c_str(), Paths::ToLongPath(files.oldHive).c_str(), 0);
            SetLastError(lastError);
        }
        RegistryFailure::ThrowCallFailed(status, L"RegReplaceKey(%d, %s, %s, %s)", Number(live.get()),
                                         entry.GetSubkey().c_str(), files.replacement.c_str(), files.oldHive.c_str());
    }
    // What is set aside is an older state than the one the platform now keeps; a copy that
    // cannot be deleted only takes room.
    if (hadOldHive)
        Files::Delete(files.setAside);

    const HKEY liveKey = live.release();
    status = RegCloseKey(liveKey);
    if (status != ERROR_SUCCESS)
        RegistryFailure::ThrowCallFailed(status, L"RegCloseKey(%d)", Number(liveKey));
}

void RegistryService::CopyKeysNotToRestore(HKEY root, const String& subkey, const String& temporaryName)
{
    // The list names control-set keys through CurrentControlSet, a link that a loaded copy of the
    // hive does not have: both sides are reached through the control set the live system uses.
    const CRegistryKey select = LiveKeys::OpenKey(root, SelectPath);
    DWORD defaultSet = 0;
    select.QueryValue(L"Default", defaultSet);
    const String controlSet = Strings::Format(L"ControlSet%03d", static_cast<int>(defaultSet));

    const CRegistryKey list = LiveKeys::OpenKey(root, KeysNotToRestorePath);
    for (auto value = list.BeginValues(); value != list.EndValues(); ++value)
    {
        const String name = value.GetName();
        StringList entries;
        const LONG status = Registry::GetMultiString(root, KeysNotToRestorePath, name, entries);
        if (status != ERROR_SUCCESS)
            RegistryFailure::ThrowCallFailed(status, L"Registry::GetMultiString(%d, %s, %s)", Number(root),
                                             KeysNotToRestorePath, name.c_str());

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
                const CRegistryKey parent = LiveKeys::OpenKey(root, livePath);
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
    const CRegistryKey key = LiveKeys::OpenKey(root, path);
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
