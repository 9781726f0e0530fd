#include "registry/RegistryService.h"

#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "platform/MountManagerClient.h"
#include "files/StagingFolder.h"
#include "platform/Wow64.h"
#include "registry/Enumerator.h"
#include "registry/LiveKeys.h"
#include "registry/RegistryBackupSet.h"
#include "registry/RegistryFailure.h"
#include "registry/RegistryKey.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <vector>

using RegistryFailure::Number;

namespace
{
    const wchar_t* const SelectPath = L"System\\Select";
    const wchar_t* const KeysNotToRestorePath = L"System\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";
    const wchar_t* const CurrentControlSet = L"CurrentControlSet";
    const wchar_t* const ReliabilityPath = L"\\Microsoft\\Windows\\CurrentVersion\\Reliability";
    const wchar_t* const HiveListPath = L"System\\CurrentControlSet\\Control\\hivelist";
    const wchar_t* const NoBackup = L"No registry backup in %s";
    // Below the staging folder: the registry's files apart from the boot files' copies.
    const wchar_t* const StagingSubfolder = L"Registry";
    const wchar_t* const LinkValue = L"SymbolicLinkValue";
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

    // Whether the key (opened with REG_OPTION_OPEN_LINK) is a registry link rather than a key.
    bool IsLink(HKEY key)
    {
        DWORD type = REG_NONE;
        return RegQueryValueExW(key, LinkValue, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
               type == REG_LINK;
    }

    [[noreturn]] void ThrowLink(const String& path)
    {
        throw RegistryServiceException(Strings::Format(L"The saved hive holds a registry link: %s", path.c_str()));
    }

    // Refuses a link anywhere below the open key (opened with REG_OPTION_OPEN_LINK).
    void RefuseLinksBelow(HKEY key, const String& path)
    {
        RegistryBuffers::SubkeyEnumerator subkey;
        for (DWORD index = 0;; ++index)
        {
            const LONG status = subkey.Read(key, index);
            if (status == ERROR_NO_MORE_ITEMS)
                return;
            if (status != ERROR_SUCCESS)
                RegistryFailure::ThrowCallFailed(status, L"RegEnumKeyEx(%s)", path.c_str());
            const wchar_t* const name = subkey.Name();
            UniqueRegKey child;
            const LONG opened = RegOpenKeyExW(key, name, REG_OPTION_OPEN_LINK, KEY_READ, child.put());
            if (opened != ERROR_SUCCESS)
                RegistryFailure::ThrowCallFailed(opened, L"RegOpenKeyEx(%s\\%s)", path.c_str(), name);
            if (IsLink(child.get()))
                ThrowLink(path + L"\\" + name);
            RefuseLinksBelow(child.get(), path + L"\\" + name);
        }
    }

    // A saved hive is loaded beside the live ones, and a link in it would lead a write made while
    // preparing it into a live key: every key from the hive's top down to root\hive\path (and,
    // with tree, every key below it) must be a key of its own. Keys not there yet end the walk.
    void RefuseLinks(HKEY root, const String& hive, const String& path, bool tree)
    {
        String current = hive;
        size_t start = 0;
        for (;;)
        {
            UniqueRegKey key;
            const LONG status = RegOpenKeyExW(root, current.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, key.put());
            if (status == ERROR_FILE_NOT_FOUND)
                return;
            if (status != ERROR_SUCCESS)
                RegistryFailure::ThrowCallFailed(status, L"RegOpenKeyEx(%d, %s)", Number(root), current.c_str());
            if (IsLink(key.get()))
                ThrowLink(current);
            if (start >= path.size())
            {
                if (tree)
                    RefuseLinksBelow(key.get(), current);
                return;
            }
            const size_t end = std::min(path.find(L'\\', start), path.size());
            if (end > start)
                current += L"\\" + path.substr(start, end - start);
            start = end + 1;
        }
    }

    // "ControlSet001": the control set that the Select key at path names as the default.
    String DefaultControlSet(HKEY root, const String& path)
    {
        const CRegistryKey select = LiveKeys::OpenKey(root, path);
        DWORD defaultSet = 0;
        select.QueryValue(L"Default", defaultSet);
        return Strings::Format(L"ControlSet%03d", static_cast<int>(defaultSet));
    }

    bool KeyExists(HKEY root, const String& path)
    {
        UniqueRegKey key;
        return RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, key.put()) == ERROR_SUCCESS;
    }

    // Unloads what an earlier attempt left under the temporary name: a hive that a crash left
    // loaded, or the key that some platforms make before a load that then fails.
    void UnloadLeftover(HKEY root, const String& name)
    {
        if (!KeyExists(root, name))
            return;
        const LONG status = RegUnLoadKeyW(root, name.c_str());
        if (KeyExists(root, name))
            RegistryFailure::ThrowCallFailed(status, L"RegUnLoadKey(%d, %s)", Number(root), name.c_str());
    }

    // The file name of a path (after its last backslash), upper-cased for comparing.
    String FileNameOf(const String& path)
    {
        return Strings::ToUpper(Files::GetFileName(path));
    }

    // A manifest can come from anywhere: each entry must name one loaded hive of this machine
    // once, by a saved file of the live hive's file name (a user hive of a user who is not logged
    // on has no live entry and is checked against its own). Throws naming the first that is not.
    void CheckEntries(const HiveFileList& entries)
    {
        std::map<String, String> liveHives;
        const CRegistryKey hiveList = LiveKeys::OpenKey(HKEY_LOCAL_MACHINE, HiveListPath);
        for (auto value = hiveList.BeginValues(); value != hiveList.EndValues(); ++value)
            liveHives[Strings::ToUpper(value.GetName())] = value.GetValueText();

        std::set<String> hives;
        std::set<String> files;
        for (const HiveFileEntry& entry : entries)
        {
            const String subkey = entry.GetSubkey();
            const auto live = liveHives.find(Strings::ToUpper(entry.GetHivePath()));
            const String hiveFile = live == liveHives.end() ? entry.GetHiveFile() : live->second;
            const wchar_t* refusal = nullptr;
            if (entry.GetRootKey() == nullptr || subkey.empty() || subkey.find(L'\\') != String::npos)
                refusal = L"not the path of a hive";
            else if (!hives.insert(Strings::ToUpper(entry.GetHivePath())).second ||
                     !files.insert(Strings::ToUpper(entry.GetFilePath())).second)
                refusal = L"listed twice";
            else if (live == liveHives.end() && entry.GetRootKey() != HKEY_USERS)
                refusal = L"not a hive of the live hive list";
            else if (entry.GetHiveFile().empty() || hiveFile.empty() ||
                     FileNameOf(entry.GetFilePath()) != FileNameOf(hiveFile) ||
                     FileNameOf(entry.GetHiveFile()) != FileNameOf(hiveFile))
                refusal = L"its file is not the hive's file";
            if (refusal != nullptr)
                throw RegistryServiceException(Strings::Format(
                    L"Refused registry backup entry: hivepath \"%s\", filepath \"%s\", hivefile \"%s\": %s",
                    entry.GetHivePath().c_str(), entry.GetFilePath().c_str(), entry.GetHiveFile().c_str(), refusal));
        }
    }

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

        // Copies source in place of whatever an interrupted attempt left, writable so that it
        // can be loaded and deleted whatever the backup's attributes. What is there goes first
        // and the copy makes a new file: a link there is removed, never written through.
        void CopyFrom(const String& source)
        {
            if (!Files::Delete(m_file) && GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
                RegistryFailure::ThrowFailed(L"DeleteFile(%s)", m_file.c_str());
            if (!Files::Copy(source, m_file, false))
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
        return MAXIMUM_ALLOWED | (Wow64::IsWow64Process() ? KEY_WOW64_64KEY : 0);
    }

    // The live file of entry's hive: the one the live hive list names, or, for a hive that is not
    // loaded now (a user who is not logged on), the manifest's. Its drive letter, not its device:
    // a server rebuilt since the backup numbers its volumes anew, but keeps their letters.
    String LiveHiveFile(const HiveFileEntry& entry)
    {
        String hiveFile;
        if (Registry::GetString(HKEY_LOCAL_MACHINE, HiveListPath, entry.GetHivePath(), hiveFile) != ERROR_SUCCESS ||
            hiveFile.empty())
        {
            const String filePath = entry.GetFilePath();
            if (filePath.size() > 2 && iswalpha(filePath[0]) && filePath[1] == L'\\')
                return filePath.substr(0, 1) + L":" + filePath.substr(1);
            hiveFile = entry.GetHiveFile();
        }
        String device;
        String path;
        if (!RegistryService::SplitHiveFile(hiveFile, device, path))
            throw RegistryServiceException(Strings::Format(L"The hive %s has no file on a volume: %s",
                                                           entry.GetHivePath().c_str(), hiveFile.c_str()));
        String drive;
        MountManager::GetDriveLetter(device, drive);
        return drive + L"\\" + path;
    }
}

// The files of one hive's restore: the saved hive in the backup, which is only read, and the
// others in the staging folder of the live hive's volume, where the platform swaps them in.
struct RegistryService::HiveFiles
{
    HiveFiles(const String& regDirectory, const HiveFileEntry& entry)
    {
        // The manifest may come from anywhere: its file path must not lead out of the backup, nor
        // out of the staging folder.
        if (!Paths::IsRelativeBelow(entry.GetFilePath()))
            throw RegistryServiceException(Strings::Format(L"Invalid hive file path: %s", entry.GetFilePath().c_str()));
        backup = Directories::GetDirectory(regDirectory, true);
        saved = regDirectory + L"\\" + entry.GetFilePath();
        live = LiveHiveFile(entry);
        stagingRoot = StagingFolder::RootOf(live);
        const String staged = stagingRoot + L"\\" + StagingSubfolder + L"\\" + entry.GetFilePath();
        replacement = staged + L".tmp";
        oldHive = staged + L".bak";
        work = staged + L".work";
        setAside = staged + L".bak.old";
    }

    String backup;      // the backup folder
    String saved;       // as the backup wrote it; never changed
    String live;        // the live hive's file
    String stagingRoot; // the staging folder of its volume
    String replacement; // the prepared hive that replaces the live one at the next start
    String oldHive;     // where the platform keeps the live hive it replaces
    String work;        // the copy that is loaded and prepared
    String setAside;    // an earlier restore's old hive while the new replacement is scheduled
};

void RegistryService::Restore(const String& directory)
{
    const String regDirectory = Strings::Format(L"%s\\Reg", directory.c_str());
    try
    {
        RegistryBackupSet backupSet(directory);
        backupSet.OpenExisting(NoBackup);
        const std::vector<HiveFileEntry> entries = backupSet.GetFiles();
        // A restore that restores nothing must not look like one that did.
        if (entries.empty())
            throw RegistryBackupSetException(Strings::Format(NoBackup, directory.c_str()));
        CheckEntries(entries);

        // All or nothing: every hive is prepared, and every live hive found, before the first
        // replacement is scheduled, so that a failure never leaves the machine to restart into
        // a mix of restored and unrestored hives.
        std::vector<HiveFiles> files;
        StagingFolder::Folders stagingFolders;
        std::vector<UniqueRegKey> liveHives(entries.size());
        size_t prepared = 0;
        try
        {
            for (; prepared < entries.size(); ++prepared)
            {
                files.emplace_back(regDirectory, entries[prepared]);
                Prepare(entries[prepared], files[prepared], stagingFolders);
            }
            for (size_t i = 0; i < entries.size(); ++i)
                OpenLiveHive(entries[i], liveHives[i]);
        }
        catch (...)
        {
            const DWORD lastError = GetLastError();
            for (size_t i = 0; i < prepared; ++i)
                DeleteFileW(Paths::ToLongPath(files[i].replacement).c_str());
            StagingFolder::RemoveCreated(stagingFolders);
            SetLastError(lastError);
            throw;
        }
        for (size_t i = 0; i < entries.size(); ++i)
        {
            if (liveHives[i])
                ScheduleHive(entries[i], files[i], liveHives[i]);
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
    const HiveFiles files(regDirectory, entry);
    StagingFolder::Folders stagingFolders;
    Prepare(entry, files, stagingFolders);
    UniqueRegKey live;
    if (OpenLiveHive(entry, live))
        ScheduleHive(entry, files, live);
}

void RegistryService::PrepareHive(const String& regDirectory, const HiveFileEntry& entry)
{
    const HiveFiles files(regDirectory, entry);
    StagingFolder::Folders stagingFolders;
    Prepare(entry, files, stagingFolders);
}

void RegistryService::Prepare(const HiveFileEntry& entry, const HiveFiles& files,
                              StagingFolder::Folders& stagingFolders)
{
    const HKEY root = entry.GetRootKey();
    const String subkey = entry.GetSubkey();
    const String temporaryName = entry.GetTemporaryName();
    const String hiveName = Strings::ToUpper(subkey);

    // Links inside the backup would lead what is read elsewhere; links in the staging folder,
    // what is written.
    Paths::RefuseLinks(files.backup, files.saved);
    StagingFolder::Prepare(files.stagingRoot, Directories::GetDirectory(files.replacement, true), stagingFolders);
    for (const String* file : {&files.replacement, &files.oldHive, &files.work, &files.setAside})
        Paths::RefuseLinks(files.stagingRoot, *file);

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

    // From here on a replacement on disk is this restore's own, and goes when it fails.
    try
    {
        WorkingCopy work(files.work);
        work.CopyFrom(files.saved);

        UnloadLeftover(root, temporaryName);
        LONG status = RegLoadKeyW(root, temporaryName.c_str(), files.work.c_str());
        if (status != ERROR_SUCCESS)
        {
            // Some platforms make the key before they read the file, and keep it when that fails.
            if (KeyExists(root, temporaryName))
                RegUnLoadKeyW(root, temporaryName.c_str());
            RegistryFailure::ThrowCallFailed(status, L"RegLoadKey(%d, %s, %s)", Number(root), temporaryName.c_str(),
                                             files.work.c_str());
        }
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
            RefuseLinks(root, temporaryName, ReliabilityPath + 1, false);
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

        // The swap keeps the file's own security: the live hive's, not the staging folder's.
        StagingFolder::CarrySecurity(files.live, files.replacement);
    }
    catch (...)
    {
        const DWORD lastError = GetLastError();
        DeleteFileW(Paths::ToLongPath(files.replacement).c_str());
        SetLastError(lastError);
        throw;
    }
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

void RegistryService::ScheduleHive(const HiveFileEntry& entry, const HiveFiles& files, UniqueRegKey& live)
{

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
    // hive does not have: the live side is the control set the live system uses, the saved side
    // the one the restored system will start with (they differ on a server rebuilt since).
    const String liveSet = DefaultControlSet(root, SelectPath);
    const String savedSelect = Join(temporaryName, SelectPath + wcslen(L"System\\"));
    const String savedSet = KeyIsMissing(root, savedSelect) ? liveSet : DefaultControlSet(root, savedSelect);

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
            // Below the live hive the entry is read through liveSet; below the saved one, written
            // through savedSet.
            String liveEntry = entry;
            if (entry.compare(0, wcslen(CurrentControlSet), CurrentControlSet) == 0)
            {
                liveEntry = liveSet + entry.substr(wcslen(CurrentControlSet));
                entry = savedSet + entry.substr(wcslen(CurrentControlSet));
            }

            if (entry.back() == L'\\')
            {
                entry.pop_back();
                liveEntry.pop_back();
                RefuseLinks(root, temporaryName, entry, true);
                CopyRegistryKey(root, Join(subkey, liveEntry), root, Join(temporaryName, entry));
            }
            else if (entry.back() == L'*')
            {
                // "<key>\*": every child key, unless the saved one starts earlier than the live one.
                entry.erase(entry.size() >= 2 ? entry.size() - 2 : 0);
                liveEntry.erase(liveEntry.size() >= 2 ? liveEntry.size() - 2 : 0);
                const String livePath = Join(subkey, liveEntry);
                const String savedPath = Join(temporaryName, entry);
                RefuseLinks(root, temporaryName, entry, false);
                const CRegistryKey parent = LiveKeys::OpenKey(root, livePath);
                for (auto child = parent.BeginSubkeys(); child != parent.EndSubkeys(); ++child)
                {
                    const String live = Join(livePath, child.GetName());
                    const String saved = Join(savedPath, child.GetName());
                    int liveStart = 0;
                    if (!FindStart(root, live, liveStart))
                        continue;
                    RefuseLinks(root, temporaryName, Join(entry, child.GetName()), true);
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
                const size_t liveSlash = liveEntry.rfind(L'\\');
                const String liveKey = liveSlash == String::npos ? String() : liveEntry.substr(0, liveSlash);
                // A value the live system does not have is no reason to stop.
                RefuseLinks(root, temporaryName, key, false);
                CopyValue(root, Join(subkey, liveKey), valueName, root, Join(temporaryName, key), valueName);
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
