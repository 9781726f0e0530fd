#include "bootfiles/CoreBootSystemFiles.h"

#include "bootfiles/CoreBootSystemFilesBackupSet.h"
#include "bootfiles/ShellFileOperation.h"
#include "common/ErrorText.h"
#include "common/FileSystem.h"
#include "common/Handles.h"
#include "common/MountManager.h"
#include "common/StagingFolder.h"
#include "common/Wow64.h"
#include "registry/RegistryKey.h"

#include <sfc.h>

#include <algorithm>
#include <exception>
#include <new>

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
            if (name.empty() || !LiveExists(name) || Files::Exists(destination))
                continue;
            CopyFile(name, destination);
        }
        // The list ends with ERROR_NO_MORE_FILES; anything else leaves protected files unsaved.
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            Fail(Strings::Format(L"SfcGetNextProtectedFile(%d) failed: %s", static_cast<int>(data.FileNumber),
                                 ErrorText::Format(error).c_str()));
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

        const String metabase = systemRoot + MetabaseSuffix;
        if (LiveExists(metabase))
            CopyFile(metabase, directory + L"\\IIS\\" + WithoutColons(metabase));

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

    // The staging copy of destination: the staging root of its volume + its path without colon
    // ("C:\SystemStateRestore\C\NtLdr" for "C:\NtLdr").
    void AddMove(const String& saved, const String& destination, std::vector<Move>& moves)
    {
        const String root = StagingFolder::RootOf(destination);
        moves.push_back({saved, destination, root, root + L"\\" + WithoutColons(destination)});
    }

    // Lists what entryPattern matches in directory; below is the directory's path below the
    // pattern's base (empty at the base).
    void ListEntries(const String& root, const String& directory, const String& entryPattern, const String& below,
                     const String& target, std::vector<Move>& moves)
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
                ListEntries(root, path, L"*", pathBelow, target, moves);
            else
                AddMove(path, target.empty() ? DrivePathOf(root, path) : target + L"\\" + pathBelow, moves);
        } while (FindNextFileW(search.get(), &entry));
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            Fail(Strings::Format(L"FindNextFile(%s) failed: %s", query.c_str(), ErrorText::Format(error).c_str()));
    }

    // Lists every file that pattern matches (a file, a directory with everything below it, or
    // wildcards in the last element). A single file goes to target itself; a file below the
    // pattern's directory to target + its path below that directory; with an empty target, to
    // the drive path that its path below root spells. A pattern that matches nothing lists
    // nothing.
    void ListPattern(const String& root, const String& pattern, const String& target, std::vector<Move>& moves)
    {
        const String last = Files::GetFileName(pattern);
        if (HasWildcards(last))
        {
            ListEntries(root, Directories::GetDirectory(pattern, false), last, String(), target, moves);
            return;
        }
        const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(pattern).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return;
        RefuseLink(pattern, attributes);
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            ListEntries(root, pattern, L"*", String(), target, moves);
        else
            AddMove(pattern, target.empty() ? DrivePathOf(root, pattern) : target, moves);
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

    // Every saved file of every group with its live destination, read from the backup only.
    std::vector<Move> ListMoves(const String& directory, const StoredPaths& stored, const String& systemRoot,
                                const String& bootDrive)
    {
        std::vector<Move> moves;
        const String bootFiles = directory + L"\\BootFiles\\";
        for (const wchar_t* name : BootFileNames)
            ListPattern(bootFiles, bootFiles + stored.bootDrive + L"\\" + name, bootDrive + L"\\" + name, moves);
        ListPattern(bootFiles, bootFiles + stored.bootDrive + L"\\" + BootDriverName,
                    bootDrive + L"\\" + BootDriverName, moves);

        const String catalogs = directory + L"\\CatRoot\\";
        ListPattern(catalogs, catalogs + stored.systemRoot + CatalogSuffix, systemRoot + CatalogSuffix, moves);

        ListPattern(directory + L"\\SPF\\", directory + L"\\SPF", String(), moves);

        const String cache = ReadProtectionCache();
        if (!cache.empty())
            ListPattern(directory + L"\\SfcDllCache\\", directory + L"\\SfcDllCache",
                        Directories::RemoveBackslash(cache), moves);

        const String perf = directory + L"\\Perf\\";
        for (const wchar_t* suffix : PerfPatterns)
            ListPattern(perf, perf + stored.systemRoot + suffix, Directories::GetDirectory(systemRoot + suffix, true),
                        moves);

        const String iis = directory + L"\\IIS\\";
        const String savedMetabase = iis + stored.systemRoot + MetabaseSuffix;
        if (Files::Exists(savedMetabase))
        {
            ListPattern(iis, savedMetabase, systemRoot + MetabaseSuffix, moves);
            ListPattern(iis, iis + stored.systemRoot + ProtectSuffix + L"\\*", systemRoot + ProtectSuffix, moves);
            const String savedMachineKeys = iis + stored.allUsersProfile + MachineKeysSuffix;
            if (Directories::Exists(savedMachineKeys))
                ListPattern(iis, savedMachineKeys + L"\\*", Expand(L"%AllUsersProfile%") + MachineKeysSuffix, moves);
        }
        return moves;
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
        backupSet.OpenExisting(NoBackupFormat);
        const StoredPaths stored = ReadStoredPaths(backupSet);
        RefuseLinksBelow(directory);

        const String systemRoot = Expand(L"%SystemRoot%");
        const String bootDrive = ReadBootDrive();
        const std::vector<Move> moves = ListMoves(directory, stored, systemRoot, bootDrive);

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
