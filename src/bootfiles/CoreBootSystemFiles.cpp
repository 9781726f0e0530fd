#include "bootfiles/CoreBootSystemFiles.h"

#include "bootfiles/CoreBootSystemFilesBackupSet.h"
#include "bootfiles/ShellFileOperation.h"
#include "errors/ErrorText.h"
#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "platform/EnvironmentVariables.h"
#include "platform/Libraries.h"
#include "platform/MountManagerClient.h"
#include "files/StagingFolder.h"
#include "platform/Wow64.h"
#include "registry/RegistryKey.h"

#include <sfc.h>

#include <algorithm>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <set>

const DWORD CoreBootSystemFiles::MoveFlags = MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING;

namespace
{
    const wchar_t* const BootFileNames[] = {L"NtLdr", L"Boot.ini", L"NtDetect.com"};
    // Only machines that boot from a controller without its own BIOS have it.
    const wchar_t* const BootDriverName = L"NtBootDD.sys";
    const wchar_t* const CatalogSuffix = L"\\System32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
    // The web server's configuration: Metabase.bin of older systems, MetaBase.xml with its
    // schema MBSchema.xml on 2003.
    const wchar_t* const InetSrvSuffix = L"\\System32\\InetSrv";
    const wchar_t* const WebServerFileNames[] = {L"Metabase.bin", L"MetaBase.xml", L"MBSchema.xml"};
    const wchar_t* const ProtectSuffix = L"\\System32\\Microsoft\\Protect";
    const wchar_t* const MachineKeysSuffix = L"\\Microsoft\\Crypto\\RSA\\MachineKeys";
    const wchar_t* const PerfPatterns[] = {L"\\System32\\Perf?00?.dat", L"\\System32\\Perf?00?.bak"};
    const wchar_t* const SetupKey = L"System\\Setup";
    const wchar_t* const WinLogonKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon";
    const wchar_t* const SessionManagerKey = L"System\\CurrentControlSet\\Control\\Session Manager";
    const wchar_t* const PendingRenamesValue = L"PendingFileRenameOperations";
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

    // A live file below the system folder is read as the 64-bit system has it (under WOW64).
    bool LiveExists(const String& path)
    {
        const Wow64::NativeScope native(path);
        return Files::Exists(path);
    }

    void CopyFile(const String& source, const String& destination)
    {
        bool copied = false;
        {
            const Wow64::NativeScope native(source);
            copied = Files::Copy(source, destination, false);
        }
        if (!copied)
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

    // Copies what pattern matches into the destination directory through the shell; for folders
    // outside the system folder only (see CopyMatching).
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

    // The platform's protected-file list as it stands, each name as listed.
    StringList ReadProtectedFiles()
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

        StringList names;
        PROTECTED_FILE_DATA data;
        ZeroMemory(&data, sizeof data);
        while (next(nullptr, &data))
        {
            data.FileName[MAX_PATH - 1] = L'\0';
            if (data.FileName[0] != L'\0')
                names.push_back(data.FileName);
        }
        // The list ends with ERROR_NO_MORE_FILES; anything else leaves protected files out.
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            Fail(Strings::Format(L"SfcGetNextProtectedFile(%d) failed: %s", static_cast<int>(data.FileNumber),
                                 ErrorText::Format(error).c_str()));
        return names;
    }

    // Every file the platform's protection list names and that exists, each once.
    void CopyProtectedFiles(const String& directory)
    {
        for (const String& name : ReadProtectedFiles())
        {
            const String destination = directory + L"\\SPF\\" + WithoutColons(name);
            if (!LiveExists(name) || Files::Exists(destination))
                continue;
            CopyFile(name, destination);
        }
    }

    // Copies what pattern matches (files, and folders with all they hold) into the destination
    // folder. Our own copy, not the shell's: the shell loads libraries, which cannot load while
    // redirection is off, and the pattern may lie below the system folder. A pattern that matches
    // nothing copies nothing; a missing folder is a failure.
    void CopyMatching(const String& pattern, const String& destination)
    {
        const String folder = Directories::GetDirectory(pattern, false);
        const Wow64::NativeScope native(pattern);
        WIN32_FIND_DATAW found;
        const UniqueFindHandle search(FindFirstFileW(Paths::ToLongPath(pattern).c_str(), &found));
        if (!search)
        {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND)
                return;
            Fail(Strings::Format(L"FindFirstFile(%s) failed: %s", pattern.c_str(), ErrorText::Format(error).c_str()));
        }
        do
        {
            if (Directories::IsDotEntry(found.cFileName))
                continue;
            const String source = folder + L"\\" + found.cFileName;
            const String target = destination + L"\\" + found.cFileName;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                const DWORD result = Directories::Copy(source, target);
                if (result != ERROR_SUCCESS)
                    Fail(Strings::Format(L"Directories::Copy(%s, %s) failed: %d\n%s", source.c_str(), target.c_str(),
                                         static_cast<int>(result), ErrorText::Format(result).c_str()));
            }
            else if (!Files::Copy(source, target, false))
            {
                const String error = ErrorText::FormatLastError();
                Fail(Strings::Format(L"Files::Copy(%s, %s) failed: %s", source.c_str(), target.c_str(), error.c_str()));
            }
        } while (FindNextFileW(search.get(), &found));
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            Fail(Strings::Format(L"FindNextFile(%s) failed: %s", pattern.c_str(), ErrorText::Format(error).c_str()));
    }

    // Copies a group's pattern into its folder: directory + the pattern's directory without colon.
    void CopyGroup(const String& group, const String& pattern)
    {
        const String destination = group + WithoutColons(Directories::GetDirectory(pattern, true));
        CreateDirectory(destination);
        CopyMatching(pattern, destination);
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
        DWORD copied = ERROR_PATH_NOT_FOUND;
        {
            // The tree copy takes a missing source for an empty one; the catalog must be there.
            const Wow64::NativeScope native(catalog);
            if (Directories::Exists(catalog))
                copied = Directories::Copy(catalog, savedCatalog);
        }
        if (copied != ERROR_SUCCESS)
            Fail(Strings::Format(L"Directories::Copy(%s,%s) failed: %s", catalog.c_str(), savedCatalog.c_str(),
                                 ErrorText::Format(copied).c_str()));

        CopyProtectedFiles(directory);

        const String cache = ReadProtectionCache();
        if (!cache.empty())
        {
            const String savedCache = directory + L"\\SfcDllCache";
            DWORD result = ERROR_SUCCESS;
            {
                const Wow64::NativeScope native(cache);
                result = Directories::Copy(cache, savedCache);
            }
            if (result != ERROR_SUCCESS)
                Fail(Strings::Format(L"Directories::Copy(%s, %s) failed: %d\n%s", cache.c_str(), savedCache.c_str(),
                                     static_cast<int>(result), ErrorText::Format(result).c_str()));
        }

        for (const wchar_t* suffix : PerfPatterns)
            CopyGroup(directory + L"\\Perf\\", systemRoot + suffix);

        for (const wchar_t* name : WebServerFileNames)
        {
            const String file = systemRoot + InetSrvSuffix + L"\\" + name;
            if (LiveExists(file))
                CopyFile(file, directory + L"\\IIS\\" + WithoutColons(file));
        }

        CopyGroup(directory + L"\\IIS\\", systemRoot + ProtectSuffix + L"\\*");

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
    // One saved file, the live file it replaces at the next start, and its copy in the staging
    // folder of the live file's volume, which the rename takes.
    struct Move
    {
        String saved;
        String destination;
        String stagingRoot;
        String staged;
    };

    // Bounds on what a backup may hold, far above what a server saves (a few thousand catalogs and
    // protected files, nine folders down to the machine keys), checked before anything read from
    // the backup is used, so that a crafted backup cannot make the restore walk, hold or stage
    // without end.
    const size_t MostFiles = 100000;
    const size_t MostDepth = 32;
    const ULONGLONG MostFileBytes = 256ull * 1024 * 1024;
    const ULONGLONG MostManifestBytes = 64 * 1024;
    const size_t MostStoredPathLength = MAX_PATH;

    // The backup's folders, in the order the restore schedules them.
    enum Group
    {
        BootFilesGroup,
        CatalogGroup,
        ProtectedFilesGroup,
        ProtectionCacheGroup,
        PerfGroup,
        WebServerGroup,
    };
    const auto& GroupFolders = CoreBootSystemFiles::GroupFolders;

    bool IsDriveLetter(const String& text)
    {
        return text.size() == 1 && ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z'));
    }

    // A drive letter folder followed by a path of plain names below it ("C\WINDOWS"), as a stored
    // path without its colon must be; the bare letter ("C") when letterOnly.
    bool IsDriveFolderPath(const String& path, bool letterOnly)
    {
        if (letterOnly)
            return IsDriveLetter(path);
        return path.size() >= 3 && IsDriveLetter(path.substr(0, 1)) && path[1] == L'\\' &&
               Paths::IsPlainRelativePath(path.substr(2), path.size());
    }

    // A link in the backup would make the restore put back files that the backup never held.
    void RefuseLink(const String& path, DWORD attributes)
    {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            Fail(Strings::Format(L"%s is a link; the backup holds no links", path.c_str()));
    }

    [[noreturn]] void NotOfTheBackup(const String& path)
    {
        Fail(Strings::Format(L"%s is not a file of a boot files backup", path.c_str()));
    }

    // One file of a group of the backup: its path, and its path below the group's folder.
    struct SavedFile
    {
        String path;
        String below;
    };

    // Adds every file below folder (below: its path below the group's folder, empty at the
    // group's folder) to files, refusing links, names a Windows path cannot hold, folders more
    // than MostDepth deep, more than MostFiles files in all and files larger than MostFileBytes.
    void ListFiles(const String& backup, const String& folder, const String& below, size_t depth,
                   std::vector<SavedFile>& files)
    {
        if (depth > MostDepth)
            Fail(Strings::Format(L"%s lies more than %d folders deep, deeper than a boot files backup holds",
                                 folder.c_str(), static_cast<int>(MostDepth)));
        const String query = Directories::RemoveBackslash(Paths::ToLongPath(folder)) + L"\\*";
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW(query.c_str(), &entry));
        if (!search)
        {
            const DWORD error = GetLastError();
            // A folder without dot entries lists nothing at all when empty.
            if (error == ERROR_FILE_NOT_FOUND)
                return;
            Fail(Strings::Format(L"FindFirstFile(%s) failed: %s", query.c_str(), ErrorText::Format(error).c_str()));
        }
        do
        {
            if (Directories::IsDotEntry(entry.cFileName))
                continue;
            const String name = entry.cFileName;
            const String path = folder + L"\\" + name;
            RefuseLink(path, entry.dwFileAttributes);
            if (!Paths::IsPlainName(name))
                Fail(Strings::Format(L"%s: \"%s\" is no name a Windows file can have", path.c_str(), name.c_str()));
            const String pathBelow = below.empty() ? name : below + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                ListFiles(backup, path, pathBelow, depth + 1, files);
                continue;
            }
            if (files.size() >= MostFiles)
                Fail(Strings::Format(L"%s holds more than %d files, more than a boot files backup holds", backup.c_str(),
                                     static_cast<int>(MostFiles)));
            if ((static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32 | entry.nFileSizeLow) > MostFileBytes)
                Fail(Strings::Format(L"%s is larger than 256 MiB, the most a boot files backup file holds", path.c_str()));
            files.push_back({path, pathBelow});
        } while (FindNextFileW(search.get(), &entry));
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            Fail(Strings::Format(L"FindNextFile(%s) failed: %s", query.c_str(), ErrorText::Format(error).c_str()));
    }

    // Every file of each group of the backup, read before anything else so that nothing the
    // backup holds is used unchecked.
    std::vector<std::vector<SavedFile>> ListGroups(const String& directory)
    {
        std::vector<std::vector<SavedFile>> groups;
        std::vector<SavedFile> all;
        for (const wchar_t* group : GroupFolders)
        {
            const String folder = directory + L"\\" + group;
            const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(folder).c_str());
            const size_t first = all.size();
            if (attributes != INVALID_FILE_ATTRIBUTES)
            {
                RefuseLink(folder, attributes);
                if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
                    NotOfTheBackup(folder);
                ListFiles(directory, folder, String(), 1, all);
            }
            groups.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
            // One order of renames whatever order the file system lists names in.
            std::sort(groups.back().begin(), groups.back().end(), [](const SavedFile& left, const SavedFile& right) {
                return Strings::ToUpper(left.below) < Strings::ToUpper(right.below);
            });
        }
        return groups;
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
            if (value.size() > MostStoredPathLength)
                throw CoreBootSystemFilesBackupSetException(
                    Strings::Format(L"Invalid %s in %s: longer than %d characters", element,
                                    backupSet.GetFilePath().c_str(), static_cast<int>(MostStoredPathLength)));
            if (!IsDriveFolderPath(value, letterOnly))
                throw CoreBootSystemFilesBackupSetException(Strings::Format(
                    L"Invalid %s in %s: %s", element, backupSet.GetFilePath().c_str(), value.c_str()));
        };
        check(L"bootdriveletter", stored.bootDrive, true);
        check(L"systemroot", stored.systemRoot, false);
        check(L"allusersprofile", stored.allUsersProfile, false);
        return stored;
    }

    // The live places the saved files go back to, read from the running system.
    struct LivePaths
    {
        String systemRoot;
        String bootDrive;
        String cache;            // empty when no protection cache is set
        String allUsersProfile;
        std::set<String> protectedFiles;   // upper-case
    };

    // The staging copy of destination: the staging root of its volume + its path without colon
    // ("C:\SystemStateRestore\C\NtLdr" for "C:\NtLdr").
    void AddMove(const String& saved, const String& destination, std::vector<Move>& moves)
    {
        const String root = StagingFolder::RootOf(destination);
        moves.push_back({saved, destination, root, root + L"\\" + WithoutColons(destination)});
    }

    // The text of below after prefix and a backslash; empty when below does not start so.
    String After(const String& below, const String& prefix)
    {
        if (below.size() <= prefix.size() + 1 || below[prefix.size()] != L'\\' || !Strings::StartsWithNoCase(below, prefix))
            return String();
        return below.substr(prefix.size() + 1);
    }

    // "Perf?00?.dat" or "Perf?00?.bak": the performance counters' name files of one language.
    bool IsPerfName(const String& name)
    {
        const String upper = Strings::ToUpper(name);
        return upper.size() == 12 && upper.find(L'\\') == String::npos && upper.compare(0, 4, L"PERF") == 0 &&
               upper.compare(5, 2, L"00") == 0 &&
               (upper.compare(8, 4, L".DAT") == 0 || upper.compare(8, 4, L".BAK") == 0);
    }

    // The live file that a saved file of group goes back to; empty for a protection cache file
    // when the machine has no cache. A file the component does not cover is refused.
    String DestinationOf(size_t group, const SavedFile& file, const StoredPaths& stored, const LivePaths& live)
    {
        const String& below = file.below;
        String rest;
        switch (group)
        {
        case BootFilesGroup:
            rest = After(below, stored.bootDrive);
            for (const wchar_t* name : BootFileNames)
            {
                if (Strings::EqualsNoCase(rest, name))
                    return live.bootDrive + L"\\" + name;
            }
            if (Strings::EqualsNoCase(rest, BootDriverName))
                return live.bootDrive + L"\\" + BootDriverName;
            break;
        case CatalogGroup:
            rest = After(below, stored.systemRoot + CatalogSuffix);
            if (!rest.empty())
                return live.systemRoot + CatalogSuffix + L"\\" + rest;
            break;
        case ProtectedFilesGroup:
            // A protected file is saved below the letter of its drive ("c\windows\x.dll").
            rest = below.size() > 2 && below[1] == L'\\' ? below.substr(2) : String();
            if (!rest.empty())
            {
                const String destination = below.substr(0, 1) + L":\\" + rest;
                const wchar_t drive = towupper(below[0]);
                if (drive != towupper(live.systemRoot[0]) && drive != towupper(live.bootDrive[0]))
                    Fail(Strings::Format(L"%s is not a file of a boot files backup: %s is on neither the system nor "
                                         L"the boot volume",
                                         file.path.c_str(), destination.c_str()));
                if (live.protectedFiles.count(Strings::ToUpper(destination)) == 0)
                    Fail(Strings::Format(L"%s is not a file of a boot files backup: %s is not on this system's "
                                         L"protected-file list",
                                         file.path.c_str(), destination.c_str()));
                return destination;
            }
            break;
        case ProtectionCacheGroup:
            // Saved from the cache folder itself, without a drive folder.
            return live.cache.empty() ? String() : Directories::RemoveBackslash(live.cache) + L"\\" + below;
        case PerfGroup:
            rest = After(below, stored.systemRoot + L"\\System32");
            if (IsPerfName(rest))
                return live.systemRoot + L"\\System32\\" + rest;
            break;
        case WebServerGroup:
            rest = After(below, stored.systemRoot + InetSrvSuffix);
            for (const wchar_t* name : WebServerFileNames)
            {
                if (Strings::EqualsNoCase(rest, name))
                    return live.systemRoot + InetSrvSuffix + L"\\" + name;
            }
            rest = After(below, stored.systemRoot + ProtectSuffix);
            if (!rest.empty())
                return live.systemRoot + ProtectSuffix + L"\\" + rest;
            rest = After(below, stored.allUsersProfile + MachineKeysSuffix);
            if (!rest.empty())
                return live.allUsersProfile + MachineKeysSuffix + L"\\" + rest;
            break;
        }
        NotOfTheBackup(file.path);
    }

    // Every saved file with its live destination. The loader files come first, in their fixed
    // order; a backup without the three that every backup saves is none.
    std::vector<Move> ListMoves(const String& directory, const std::vector<std::vector<SavedFile>>& groups,
                                const StoredPaths& stored, const LivePaths& live)
    {
        std::vector<Move> moves;
        std::map<String, String> destinations;   // upper-case destination -> saved file
        const auto add = [&](const SavedFile& file, const String& destination) {
            const auto known = destinations.emplace(Strings::ToUpper(destination), file.path);
            if (!known.second)
                Fail(Strings::Format(L"%s and %s are both saved for %s; a boot files backup holds each file once",
                                     known.first->second.c_str(), file.path.c_str(), destination.c_str()));
            AddMove(file.path, destination, moves);
        };

        std::vector<std::pair<const SavedFile*, String>> loaderFiles;
        for (const SavedFile& file : groups[BootFilesGroup])
            loaderFiles.emplace_back(&file, DestinationOf(BootFilesGroup, file, stored, live));
        const auto addLoaderFile = [&](const wchar_t* name, bool required) {
            bool found = false;
            for (const auto& loaderFile : loaderFiles)
            {
                if (Strings::EqualsNoCase(Files::GetFileName(loaderFile.second), name))
                {
                    add(*loaderFile.first, loaderFile.second);
                    found = true;
                }
            }
            if (required && !found)
                throw CoreBootSystemFilesBackupSetException(Strings::Format(NoBackupFormat, directory.c_str()));
        };
        for (const wchar_t* name : BootFileNames)
            addLoaderFile(name, true);
        addLoaderFile(BootDriverName, false);

        for (size_t group = CatalogGroup; group < groups.size(); ++group)
        {
            for (const SavedFile& file : groups[group])
            {
                const String destination = DestinationOf(group, file, stored, live);
                if (!destination.empty())
                    add(file, destination);
            }
        }
        return moves;
    }

    // The manifest holds three paths; a larger one is not read at all.
    void RefuseLargeManifest(const String& manifest)
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(Paths::ToLongPath(manifest).c_str(), GetFileExInfoStandard, &data) &&
            (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) > MostManifestBytes)
            throw CoreBootSystemFilesBackupSetException(Strings::Format(
                L"%s is larger than 64 KiB, more than a boot files manifest holds", manifest.c_str()));
    }

    // The platform's protected-file list as it stands now, upper-case.
    std::set<String> ProtectedFileSet()
    {
        std::set<String> names;
        for (const String& name : ReadProtectedFiles())
            names.insert(Strings::ToUpper(name));
        return names;
    }

    // Copies one saved file into the staging folder, with the security of the live file it
    // replaces: the rename keeps the staged file's own.
    void Stage(const Move& move, StagingFolder::Folders& stagingFolders)
    {
        StagingFolder::Prepare(move.stagingRoot, Directories::GetDirectory(move.staged, true), stagingFolders);
        Paths::RefuseLinks(move.stagingRoot, move.staged);
        // A copy staged by an earlier restore keeps the saved file's attributes; read-only ones
        // (the loader's) would refuse the new copy.
        SetFileAttributesW(Paths::ToLongPath(move.staged).c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!Files::Copy(move.saved, move.staged, true))
        {
            const String error = ErrorText::FormatLastError();
            Fail(Strings::Format(L"Files::Copy(%s, %s) failed: %s", move.saved.c_str(), move.staged.c_str(),
                                 error.c_str()));
        }
        const Wow64::NativeScope native(move.destination);
        StagingFolder::CarrySecurity(move.destination, move.staged);
    }

    // Removes the staged copies of the first count moves, then the staging folders made for
    // them.
    void RemoveStaged(const std::vector<Move>& moves, size_t count,
                      const StagingFolder::Folders& stagingFolders) noexcept
    {
        const DWORD lastError = GetLastError();
        for (size_t i = 0; i < count && i < moves.size(); ++i)
        {
            const String staged = Paths::ToLongPath(moves[i].staged);
            SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(staged.c_str());
        }
        StagingFolder::RemoveCreated(stagingFolders);
        SetLastError(lastError);
    }

    // The pending renames as they were before this restore scheduled any, to be put back
    // exactly when it fails half way.
    class PendingRenames
    {
    public:
        PendingRenames()
        {
            const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SessionManagerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                              m_key.put());
            if (opened != ERROR_SUCCESS)
                Fail(Strings::Format(L"RegOpenKeyEx(HKEY_LOCAL_MACHINE\\%s) failed: %s", SessionManagerKey,
                                     ErrorText::Format(static_cast<DWORD>(opened)).c_str()));
            DWORD size = 0;
            LONG status = RegQueryValueExW(m_key.get(), PendingRenamesValue, nullptr, &m_type, nullptr, &size);
            // Another program may schedule a rename between the two calls.
            while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)
            {
                m_data.resize(size);
                status = RegQueryValueExW(m_key.get(), PendingRenamesValue, nullptr, &m_type, m_data.data(), &size);
                if (status == ERROR_SUCCESS)
                {
                    m_data.resize(size);
                    m_present = true;
                    return;
                }
            }
            if (status != ERROR_FILE_NOT_FOUND)
                Fail(Strings::Format(L"RegQueryValueEx(HKEY_LOCAL_MACHINE\\%s, %s) failed: %s", SessionManagerKey,
                                     PendingRenamesValue, ErrorText::Format(static_cast<DWORD>(status)).c_str()));
        }

        // The first file to be renamed at the next start that lies below one of the moves'
        // staging roots; empty when there is none.
        String FirstStaged(const std::vector<Move>& moves) const
        {
            const wchar_t* text = reinterpret_cast<const wchar_t*>(m_data.data());
            const size_t count = m_data.size() / sizeof(wchar_t);
            for (size_t start = 0; start < count;)
            {
                size_t end = start;
                while (end < count && text[end] != L'\0')
                    ++end;
                String name(text + start, end - start);
                start = end + 1;
                if (!name.empty() && name[0] == L'!')
                    name.erase(0, 1);
                if (Strings::StartsWithNoCase(name, L"\\??\\"))
                    name.erase(0, 4);
                for (const Move& move : moves)
                {
                    if (Strings::StartsWithNoCase(name, move.stagingRoot + L"\\"))
                        return name;
                }
            }
            return String();
        }

        // Writes the value back as it was (or deletes it when there was none).
        void PutBack() noexcept
        {
            const DWORD lastError = GetLastError();
            if (m_present)
                RegSetValueExW(m_key.get(), PendingRenamesValue, 0, m_type, m_data.data(),
                               static_cast<DWORD>(m_data.size()));
            else
                RegDeleteValueW(m_key.get(), PendingRenamesValue);
            SetLastError(lastError);
        }

    private:
        UniqueRegKey m_key;
        bool m_present = false;
        DWORD m_type = REG_NONE;
        std::vector<BYTE> m_data;
    };

    // Creates the missing folders down to folder, adding each one made to created.
    void CreateLiveFolder(const String& folder, std::vector<String>& created)
    {
        std::vector<String> missing;
        for (String current = folder; !Directories::IsRoot(current) && !Directories::Exists(current);
             current = Directories::GetDirectory(current, true))
            missing.push_back(current);
        for (auto current = missing.rbegin(); current != missing.rend(); ++current)
        {
            if (!::CreateDirectoryW(Paths::ToLongPath(*current).c_str(), nullptr))
            {
                const String error = ErrorText::FormatLastError();
                Fail(Strings::Format(L"CreateDirectory(%s) failed: %s", current->c_str(), error.c_str()));
            }
            created.push_back(*current);
        }
    }

    // Schedules every staged copy to replace its live file, the staging folders' removal after
    // them, and allows the protected renames. A failure puts the pending renames back as they
    // were and removes the live folders it made.
    void ScheduleAll(const std::vector<Move>& moves, const StagingFolder::Folders& stagingFolders)
    {
        PendingRenames before;
        std::vector<String> created;
        try
        {
            // The rename at the next start does not make folders: a live folder deleted since the
            // backup would lose its files there.
            for (const Move& move : moves)
            {
                const String folder = Directories::GetDirectory(move.destination, true);
                const Wow64::NativeScope native(folder);
                CreateLiveFolder(folder, created);
            }
            for (const Move& move : moves)
            {
                bool scheduled = false;
                {
                    const Wow64::NativeScope native(move.destination);
                    scheduled = MoveFileExW(move.staged.c_str(), move.destination.c_str(),
                                            CoreBootSystemFiles::MoveFlags) != FALSE;
                }
                if (!scheduled)
                {
                    const String error = ErrorText::FormatLastError();
                    Fail(Strings::Format(L"MoveFileEx(%s, %s, %d) failed: %s", move.staged.c_str(),
                                         move.destination.c_str(), static_cast<int>(CoreBootSystemFiles::MoveFlags),
                                         error.c_str()));
                }
            }
            CoreBootSystemFiles::ScheduleStagingRemoval(stagingFolders.ready);
            CRegistryKey sessionManager(HKEY_LOCAL_MACHINE, SessionManagerKey, KEY_ALL_ACCESS);
            sessionManager.SetValue(L"AllowProtectedRenames", 1, REG_DWORD);
        }
        catch (...)
        {
            before.PutBack();
            for (auto folder = created.rbegin(); folder != created.rend(); ++folder)
            {
                // The scope turned redirection off for this folder before; it does not fail now.
                const Wow64::NativeScope native(*folder);
                RemoveDirectoryW(Paths::ToLongPath(*folder).c_str());
            }
            throw;
        }
    }

    void RestoreFiles(const String& directory)
    {
        CoreBootSystemFilesBackupSet backupSet(directory);
        RefuseLargeManifest(backupSet.GetFilePath());
        backupSet.OpenExisting(NoBackupFormat);
        const StoredPaths stored = ReadStoredPaths(backupSet);
        const std::vector<std::vector<SavedFile>> groups = ListGroups(directory);

        LivePaths live;
        live.systemRoot = Directories::RemoveBackslash(Expand(L"%SystemRoot%"));
        live.bootDrive = ReadBootDrive();
        live.cache = ReadProtectionCache();
        live.allUsersProfile = Directories::RemoveBackslash(Expand(L"%AllUsersProfile%"));
        live.protectedFiles = ProtectedFileSet();
        if (live.systemRoot.size() < 2 || live.bootDrive.size() < 2)
            Fail(Strings::Format(L"The system root (%s) or the boot drive (%s) names no drive", live.systemRoot.c_str(),
                                 live.bootDrive.c_str()));
        const std::vector<Move> moves = ListMoves(directory, groups, stored, live);

        // The staged copies of a restore that waits for the restart would be overwritten, and
        // removed again if this one failed: the next start would install a mix.
        const String waiting = PendingRenames().FirstStaged(moves);
        if (!waiting.empty())
            Fail(Strings::Format(L"A restore scheduled earlier waits for the restart (%s is to be renamed then); "
                                 L"restart the machine before restoring the boot files again",
                                 waiting.c_str()));

        // All or nothing: every file is staged before the first rename is scheduled, so that a
        // failure (a full disk is likely: staging needs a second copy) never leaves the next
        // start to install a mix of saved and live files.
        StagingFolder::Folders stagingFolders;
        size_t staged = 0;
        try
        {
            for (; staged < moves.size(); ++staged)
                Stage(moves[staged], stagingFolders);
            ScheduleAll(moves, stagingFolders);
        }
        catch (...)
        {
            // The one that failed may have left a copy too.
            RemoveStaged(moves, staged + 1, stagingFolders);
            throw;
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
