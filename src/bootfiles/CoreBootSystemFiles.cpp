#include "bootfiles/CoreBootSystemFiles.h"

#include "bootfiles/CoreBootSystemFilesBackupSet.h"
#include "bootfiles/ShellFileOperation.h"
#include "common/ErrorText.h"
#include "common/FileSystem.h"
#include "common/Handles.h"
#include "common/MountManager.h"
#include "registry/RegistryKey.h"

#include <sfc.h>

#include <algorithm>
#include <exception>
#include <new>
#include <optional>

const DWORD CoreBootSystemFiles::MoveFlags = MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING;

namespace
{
    const wchar_t* const BootFileNames[] = {L"NtLdr", L"Boot.ini", L"NtDetect.com"};
    // Only machines that boot from a controller without its own BIOS have it.
    const wchar_t* const BootDriverName = L"NtBootDD.sys";
    const wchar_t* const CatalogSuffix = L"\\System32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
    const wchar_t* const MetabaseSuffix = L"\\System32\\InetSrv\\Metabase.bin";
    const wchar_t* const ProtectSuffix = L"\\System32\\Microsoft\\Protect";
    const wchar_t* const MachineKeysSuffix = L"\\Microsoft\\Crypto\\RSA\\MachineKeys";
    const wchar_t* const PerfPatterns[] = {L"\\System32\\Perf?00?.dat", L"\\System32\\Perf?00?.bak"};
    const wchar_t* const SetupKey = L"System\\Setup";
    const wchar_t* const WinLogonKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon";
    const wchar_t* const SessionManagerKey = L"System\\CurrentControlSet\\Control\\Session Manager";
    const wchar_t* const StagingFolderName = L"SystemStateRestore";
    const wchar_t* const NoBackupFormat = L"No core boot files backup in %s";

    [[noreturn]] void Fail(const String& message)
    {
        throw CoreBootSystemFilesException(message);
    }

    String WithoutColons(String path)
    {
        path.erase(std::remove(path.begin(), path.end(), L':'), path.end());
        return path;
    }

    String Expand(const wchar_t* variable)
    {
        EnvironmentVariables environment;
        String expanded;
        if (FAILED(environment.Expand(variable, expanded)))
            Fail(Strings::Format(L"EnvironmentVariables.Expand(%s, %s) failed: %s", variable, expanded.c_str(),
                                 environment.GetError().c_str()));
        return expanded;
    }

    // The boot drive ("C:"): the drive letter of the partition the machine started from.
    String ReadBootDrive()
    {
        String partition;
        const LONG status = Registry::GetString(HKEY_LOCAL_MACHINE, SetupKey, L"SystemPartition", partition);
        if (status != ERROR_SUCCESS)
            Fail(Strings::Format(L"Registry::GetString(%d, %s, %s, %s) failed: %d: %s",
                                 static_cast<int>(reinterpret_cast<LONG_PTR>(HKEY_LOCAL_MACHINE)), SetupKey,
                                 L"SystemPartition", partition.c_str(), static_cast<int>(status),
                                 ErrorText::Format(static_cast<DWORD>(status)).c_str()));
        String drive;
        MountManager::GetDriveLetter(partition, drive);
        return drive;
    }

    // The protection cache directory, expanded; empty when the value is not set.
    String ReadProtectionCache()
    {
        if (!Registry::ValueExists(HKEY_LOCAL_MACHINE, WinLogonKey, L"SfcDllCache"))
            return String();
        const CRegistryKey winLogon(HKEY_LOCAL_MACHINE, WinLogonKey, KEY_QUERY_VALUE);
        String cache;
        // A cache that is set but cannot be read as a path must not be left out unnoticed.
        if (!winLogon.QueryValue(L"SfcDllCache", cache))
            Fail(Strings::Format(L"The value SfcDllCache of HKEY_LOCAL_MACHINE\\%s is not a string", WinLogonKey));
        if (cache.empty())
            return cache;
        EnvironmentVariables environment;
        String expanded;
        if (FAILED(environment.Expand(cache, expanded)))
            Fail(environment.GetError());
        return expanded;
    }

    void CopyFile(const String& source, const String& destination)
    {
        if (!Files::Copy(source, destination, false))
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"Files::Copy(%s, %s) failed: %s", source.c_str(), destination.c_str(), error.c_str()));
        }
    }

    void CreateDirectory(const String& directory)
    {
        if (!Directories::Create(directory))
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"Directories::Create(%s) failed: %s", directory.c_str(), error.c_str()));
        }
    }

    // Copies what pattern matches into the destination directory through the shell.
    void ShellCopy(const String& pattern, const String& destination)
    {
        ShellFileOperation operation;
        if (!operation.AddSource(pattern) || !operation.AddDestination(destination))
            throw std::bad_alloc();
        operation.SetFlags(FO_COPY, nullptr, true, false, false, true, true, false, false);
        bool started = false;
        int result = 0;
        if (operation.Run(&started, &result, nullptr))
            return;
        if (!started)
            Fail(Strings::Format(L"SHFileOperation(%s, %s) was not called!", pattern.c_str(), destination.c_str()));
        Fail(Strings::Format(L"SHFileOperation(%s, %s) failed: %d: %s", pattern.c_str(), destination.c_str(), result,
                             ErrorText::FormatWin32(result).c_str()));
    }

    // Copies a group's pattern into its folder: directory + the pattern's directory without colon.
    void ShellCopyGroup(const String& group, const String& pattern)
    {
        const String destination = group + WithoutColons(Directories::GetDirectory(pattern, true));
        CreateDirectory(destination);
        ShellCopy(pattern, destination);
    }

    // Every file the platform's protection list names and that exists, each once.
    void CopyProtectedFiles(const String& directory)
    {
        using NextProtectedFile = BOOL(WINAPI*)(HANDLE, PPROTECTED_FILE_DATA);
        const UniqueLibrary sfc(Libraries::LoadFromSystemFolder(L"sfc.dll"));
        if (!sfc)
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"LoadLibrary(sfc.dll) failed: %s", error.c_str()));
        }
        const auto next = GetProc<NextProtectedFile>(sfc.get(), "SfcGetNextProtectedFile");
        if (next == nullptr)
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"GetProcAddress(SfcGetNextProtectedFile) failed: %s", error.c_str()));
        }

        PROTECTED_FILE_DATA data;
        ZeroMemory(&data, sizeof data);
        while (next(nullptr, &data))
        {
            data.FileName[MAX_PATH - 1] = L'\0';
            const String name = data.FileName;
            const String destination = directory + L"\\SPF\\" + WithoutColons(name);
            if (name.empty() || !Files::Exists(name) || Files::Exists(destination))
                continue;
            CopyFile(name, destination);
        }
        // The list ends with ERROR_NO_MORE_FILES; anything else leaves protected files unsaved.
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            Fail(Strings::Format(L"SfcGetNextProtectedFile(%d) failed: %s", static_cast<int>(data.FileNumber),
                                 ErrorText::Format(error).c_str()));
    }

    // Under WOW64, the 64-bit system's System32 for as long as redirection lives.
    void TurnOffRedirection(std::optional<Wow64FsRedirectionScope>& redirection)
    {
        Wow64 wow64;
        if (!wow64.IsWow64Process())
            return;
        redirection.emplace();
        if (redirection->IsAvailable() && !redirection->IsDisabled())
            Fail(Strings::Format(L"Wow64DisableWow64FsRedirection() failed: %s",
                                 ErrorText::Format(redirection->Error()).c_str()));
    }

    void BackupFiles(const String& directory)
    {
        const String systemRoot = Expand(L"%SystemRoot%");
        const String bootDrive = ReadBootDrive();

        CoreBootSystemFilesBackupSet backupSet(directory);
        backupSet.Open();
        backupSet.SetBootDriveLetter(bootDrive);
        backupSet.SetSystemRoot(systemRoot);
        if (!backupSet.Save())
            Fail(Strings::Format(L"Could not save backupset: %s", backupSet.GetFilePath().c_str()));

        for (const wchar_t* name : BootFileNames)
        {
            const String live = bootDrive + L"\\" + name;
            CopyFile(live, directory + L"\\BootFiles\\" + WithoutColons(live));
        }
        const String bootDriver = bootDrive + L"\\" + BootDriverName;
        if (Files::Exists(bootDriver))
            CopyFile(bootDriver, directory + L"\\BootFiles\\" + WithoutColons(bootDriver));

        const String catalog = systemRoot + CatalogSuffix;
        const String savedCatalog = directory + L"\\CatRoot\\" + WithoutColons(catalog);
        // The tree copy takes a missing source for an empty one; the catalog must be there.
        const DWORD copied = Directories::Exists(catalog) ? Directories::Copy(catalog, savedCatalog)
                                                          : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
        if (copied != ERROR_SUCCESS)
            Fail(Strings::Format(L"Directories::Copy(%s,%s) failed: %s", catalog.c_str(), savedCatalog.c_str(),
                                 ErrorText::Format(copied).c_str()));

        CopyProtectedFiles(directory);

        const String cache = ReadProtectionCache();
        if (!cache.empty())
        {
            const String savedCache = directory + L"\\SfcDllCache";
            const DWORD result = Directories::Copy(cache, savedCache);
            if (result != ERROR_SUCCESS)
                Fail(Strings::Format(L"Directories::Copy(%s, %s) failed: %d\n%s", cache.c_str(), savedCache.c_str(),
                                     static_cast<int>(result), ErrorText::Format(result).c_str()));
        }

        for (const wchar_t* suffix : PerfPatterns)
            ShellCopyGroup(directory + L"\\Perf\\", systemRoot + suffix);

        const String metabase = systemRoot + MetabaseSuffix;
        if (Files::Exists(metabase))
            CopyFile(metabase, directory + L"\\IIS\\" + WithoutColons(metabase));

        {
            // The key store of the 64-bit system, not its 32-bit view.
            std::optional<Wow64FsRedirectionScope> redirection;
            TurnOffRedirection(redirection);
            const String protect = systemRoot + ProtectSuffix;
            const String savedProtect = directory + L"\\IIS\\" + WithoutColons(protect);
            CreateDirectory(savedProtect);
            ShellCopy(protect + L"\\*", savedProtect);
        }

        const String allUsersProfile = Expand(L"%AllUsersProfile%");
        backupSet.SetAllUsersProfile(allUsersProfile);
        if (!backupSet.Save())
            Fail(Strings::Format(L"Could not save backupset: %s", backupSet.GetFilePath().c_str()));

        const String machineKeys = allUsersProfile + MachineKeysSuffix;
        const String savedMachineKeys = directory + L"\\IIS\\" + WithoutColons(machineKeys);
        CreateDirectory(savedMachineKeys);
        if (Directories::Exists(machineKeys))
            ShellCopy(machineKeys + L"\\*", savedMachineKeys);
    }

    // A registry failure carries a where-text and a code; the component object wants our text.
    [[noreturn]] void RegistryFailed(const CRegistryKey::Exception& exception)
    {
        Fail(Strings::Format(L"CRegistryKey::Exception: %s: %s", exception.GetLocation(),
                             ErrorText::Format(exception.GetCode()).c_str()));
    }
}

void CoreBootSystemFiles::Backup(const String& directory)
{
    try
    {
        BackupFiles(directory);
    }
    catch (const CRegistryKey::Exception& exception)
    {
        RegistryFailed(exception);
    }
    catch (const std::exception& exception)
    {
        Fail(Strings::Format(L"CoreBootSystemFiles::Backup Exception: %S", exception.what()));
    }
}

namespace
{
    bool HasWildcards(const String& text)
    {
        return text.find_first_of(L"*?") != String::npos;
    }

    // A drive letter folder followed by a path below it ("C\WINDOWS"), as a stored path without
    // its colon must be; the bare letter ("C") when letterOnly.
    bool IsDriveFolderPath(const String& path, bool letterOnly)
    {
        if (path.empty() || !iswalpha(path[0]) || path[0] > L'z')
            return false;
        if (letterOnly)
            return path.size() == 1;
        return path.size() > 2 && path[1] == L'\\' && Paths::IsRelativeBelow(path.substr(2));
    }

    // The live path that a saved file's path below root spells: "C\WINDOWS\x.dll" is
    // "C:\WINDOWS\x.dll".
    String DrivePathOf(const String& root, const String& file)
    {
        const String below = Strings::StartsWithNoCase(file, root) ? file.substr(root.size()) : String();
        if (!IsDriveFolderPath(below, false))
            Fail(Strings::Format(L"%s names no drive path below %s", file.c_str(), root.c_str()));
        return below.substr(0, 1) + L":" + below.substr(1);
    }

    void ScheduleFile(const String& file, const String& destination, std::vector<String>& stagingFolders)
    {
        const String staged = CoreBootSystemFiles::StagingPath(destination, stagingFolders);
        // A copy staged by an earlier restore keeps the saved file's attributes; read-only ones
        // (the loader's) would refuse the new copy.
        SetFileAttributesW(Paths::ToLongPath(staged).c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!Files::Copy(file, staged, true))
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"Files::Copy(%s, %s) failed: %s", file.c_str(), staged.c_str(), error.c_str()));
        }
        // The rename at the next start does not make folders: a live folder deleted since the
        // backup would lose its files there.
        CreateDirectory(Directories::GetDirectory(destination, true));
        if (!MoveFileExW(staged.c_str(), destination.c_str(), CoreBootSystemFiles::MoveFlags))
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"MoveFileEx(%s, %s, %d) failed: %s", staged.c_str(), destination.c_str(),
                                 static_cast<int>(CoreBootSystemFiles::MoveFlags), error.c_str()));
        }
    }

    // A link in the backup would make the restore put back files that the backup never held.
    void RefuseLink(const String& path, DWORD attributes)
    {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            Fail(Strings::Format(L"%s is a link; the backup holds no links", path.c_str()));
    }

    // Looked for before anything is staged: a refused backup leaves no rename waiting.
    void RefuseLinksBelow(const String& directory)
    {
        const String query = Directories::RemoveBackslash(Paths::ToLongPath(directory)) + L"\\*";
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW(query.c_str(), &entry));
        if (!search)
            return;
        do
        {
            if (Directories::IsDotEntry(entry.cFileName))
                continue;
            const String path = directory + L"\\" + entry.cFileName;
            RefuseLink(path, entry.dwFileAttributes);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RefuseLinksBelow(path);
        } while (FindNextFileW(search.get(), &entry));
    }

    // Schedules what entryPattern matches in directory; below is the directory's path below the
    // pattern's base (empty at the base).
    void ScheduleEntries(const String& root, const String& directory, const String& entryPattern, const String& below,
                         const String& target, std::vector<String>& stagingFolders)
    {
        const String query = Directories::RemoveBackslash(Paths::ToLongPath(directory)) + L"\\" + entryPattern;
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW(query.c_str(), &entry));
        if (!search)
        {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES)
                return;
            Fail(Strings::Format(L"FindFirstFile(%s) failed: %s", query.c_str(), ErrorText::Format(error).c_str()));
        }
        do
        {
            if (Directories::IsDotEntry(entry.cFileName))
                continue;
            const String path = directory + L"\\" + entry.cFileName;
            const String pathBelow = below.empty() ? String(entry.cFileName) : below + L"\\" + entry.cFileName;
            RefuseLink(path, entry.dwFileAttributes);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                ScheduleEntries(root, path, L"*", pathBelow, target, stagingFolders);
            else
                ScheduleFile(path, target.empty() ? DrivePathOf(root, path) : target + L"\\" + pathBelow,
                             stagingFolders);
        } while (FindNextFileW(search.get(), &entry));
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            Fail(Strings::Format(L"FindNextFile(%s) failed: %s", query.c_str(), ErrorText::Format(error).c_str()));
    }

    // Where the backup keeps a group: the folder + a stored path without its colon + suffix.
    struct StoredPaths
    {
        String bootDrive;
        String systemRoot;
        String allUsersProfile;
    };

    StoredPaths ReadStoredPaths(const CoreBootSystemFilesBackupSet& backupSet)
    {
        StoredPaths stored = {WithoutColons(backupSet.GetBootDriveLetter()), WithoutColons(backupSet.GetSystemRoot()),
                              WithoutColons(backupSet.GetAllUsersProfile())};
        // Each is appended to a folder of the backup: it must not lead out of it.
        const auto check = [&](const wchar_t* element, const String& value, bool letterOnly) {
            if (!IsDriveFolderPath(value, letterOnly))
                throw CoreBootSystemFilesBackupSetException(Strings::Format(
                    L"Invalid %s in %s: %s", element, backupSet.GetFilePath().c_str(), value.c_str()));
        };
        check(L"bootdriveletter", stored.bootDrive, true);
        check(L"systemroot", stored.systemRoot, false);
        check(L"allusersprofile", stored.allUsersProfile, false);
        return stored;
    }

    void ScheduleGroups(const String& directory, const StoredPaths& stored, const String& systemRoot,
                        const String& bootDrive, std::vector<String>& stagingFolders);

    void RestoreFiles(const String& directory)
    {
        CoreBootSystemFilesBackupSet backupSet(directory);
        backupSet.OpenExisting(NoBackupFormat);
        const StoredPaths stored = ReadStoredPaths(backupSet);
        RefuseLinksBelow(directory);

        const String systemRoot = Expand(L"%SystemRoot%");
        const String bootDrive = ReadBootDrive();
        std::vector<String> stagingFolders;
        try
        {
            ScheduleGroups(directory, stored, systemRoot, bootDrive, stagingFolders);
        }
        catch (...)
        {
            // The renames scheduled before the failure still empty their folders at the start.
            try
            {
                CoreBootSystemFiles::ScheduleStagingRemoval(stagingFolders);
            }
            catch (const CoreBootSystemFilesException&)
            {
                // The first failure is the one to report.
            }
            throw;
        }
        CoreBootSystemFiles::ScheduleStagingRemoval(stagingFolders);

        CRegistryKey sessionManager(HKEY_LOCAL_MACHINE, SessionManagerKey, KEY_ALL_ACCESS);
        sessionManager.SetValue(L"AllowProtectedRenames", 1, REG_DWORD);
    }

    void ScheduleGroups(const String& directory, const StoredPaths& stored, const String& systemRoot,
                        const String& bootDrive, std::vector<String>& stagingFolders)
    {

        const String bootFiles = directory + L"\\BootFiles\\";
        for (const wchar_t* name : BootFileNames)
            CoreBootSystemFiles::ScheduleMove(bootFiles, bootFiles + stored.bootDrive + L"\\" + name,
                                              bootDrive + L"\\" + name, stagingFolders);
        CoreBootSystemFiles::ScheduleMove(bootFiles, bootFiles + stored.bootDrive + L"\\" + BootDriverName,
                                          bootDrive + L"\\" + BootDriverName, stagingFolders);

        const String catalogs = directory + L"\\CatRoot\\";
        CoreBootSystemFiles::ScheduleMove(catalogs, catalogs + stored.systemRoot + CatalogSuffix,
                                          systemRoot + CatalogSuffix, stagingFolders);

        CoreBootSystemFiles::ScheduleMove(directory + L"\\SPF\\", directory + L"\\SPF", String(), stagingFolders);

        const String cache = ReadProtectionCache();
        if (!cache.empty())
            CoreBootSystemFiles::ScheduleMove(directory + L"\\SfcDllCache\\", directory + L"\\SfcDllCache",
                                              Directories::RemoveBackslash(cache), stagingFolders);

        const String perf = directory + L"\\Perf\\";
        for (const wchar_t* suffix : PerfPatterns)
            CoreBootSystemFiles::ScheduleMove(perf, perf + stored.systemRoot + suffix,
                                              Directories::GetDirectory(systemRoot + suffix, true), stagingFolders);

        const String iis = directory + L"\\IIS\\";
        const String savedMetabase = iis + stored.systemRoot + MetabaseSuffix;
        if (Files::Exists(savedMetabase))
        {
            CoreBootSystemFiles::ScheduleMove(iis, savedMetabase, systemRoot + MetabaseSuffix, stagingFolders);
            {
                std::optional<Wow64FsRedirectionScope> redirection;
                TurnOffRedirection(redirection);
                CoreBootSystemFiles::ScheduleMove(iis, iis + stored.systemRoot + ProtectSuffix + L"\\*",
                                                  systemRoot + ProtectSuffix, stagingFolders);
            }
            const String machineKeys = Expand(L"%AllUsersProfile%") + MachineKeysSuffix;
            CreateDirectory(machineKeys);
            const String savedMachineKeys = iis + stored.allUsersProfile + MachineKeysSuffix;
            if (Directories::Exists(savedMachineKeys))
                CoreBootSystemFiles::ScheduleMove(iis, savedMachineKeys + L"\\*", machineKeys, stagingFolders);
        }
    }
}

void CoreBootSystemFiles::Restore(const String& directory)
{
    try
    {
        RestoreFiles(directory);
    }
    catch (const CRegistryKey::Exception& exception)
    {
        RegistryFailed(exception);
    }
}

void CoreBootSystemFiles::ScheduleMove(const String& root, const String& pattern, const String& target,
                                       std::vector<String>& stagingFolders)
{
    const String last = Files::GetFileName(pattern);
    if (HasWildcards(last))
    {
        ScheduleEntries(root, Directories::GetDirectory(pattern, false), last, String(), target, stagingFolders);
        return;
    }
    const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(pattern).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    RefuseLink(pattern, attributes);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        ScheduleEntries(root, pattern, L"*", String(), target, stagingFolders);
    else
        ScheduleFile(pattern, target.empty() ? DrivePathOf(root, pattern) : target, stagingFolders);
}

String CoreBootSystemFiles::StagingPath(const String& destination, std::vector<String>& stagingFolders)
{
    std::vector<wchar_t> volume(destination.size() + 2);
    if (!GetVolumePathNameW(destination.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
    {
        const String error = ErrorText::FormatLastError();
        Fail(Strings::Format(L"GetVolumePathName(%s) failed: %s", destination.c_str(), error.c_str()));
    }
    String stagingRoot = volume.data();
    Directories::AppendBackslash(stagingRoot);
    stagingRoot += StagingFolderName;
    const String staged = stagingRoot + L"\\" + WithoutColons(destination);

    for (String folder = Directories::GetDirectory(staged, false); folder.size() >= stagingRoot.size();
         folder = Directories::GetDirectory(folder, false))
    {
        // "c\windows" of the protection list and "C\WINDOWS" of the other groups are one folder.
        if (std::none_of(stagingFolders.begin(), stagingFolders.end(),
                         [&](const String& known) { return Strings::EqualsNoCase(known, folder); }))
            stagingFolders.push_back(folder);
    }
    return staged;
}

void CoreBootSystemFiles::ScheduleStagingRemoval(std::vector<String> stagingFolders)
{
    const auto depth = [](const String& path) { return std::count(path.begin(), path.end(), L'\\'); };
    std::stable_sort(stagingFolders.begin(), stagingFolders.end(),
                     [&](const String& left, const String& right) { return depth(left) > depth(right); });
    for (const String& folder : stagingFolders)
    {
        if (!MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"MoveFileEx(%s, NULL, %d) failed: %s", folder.c_str(),
                                 static_cast<int>(MOVEFILE_DELAY_UNTIL_REBOOT), error.c_str()));
        }
    }
}
