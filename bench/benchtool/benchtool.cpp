// benchtool: times one operation of ours, or the platform call it is measured against, inside a
// lab machine. bench/run.sh runs each in its own process, so the peak working set it prints
// belongs to that one operation.
//
//   benchtool copy-ours SRC DST          Files::Copy (DST must not exist)
//   benchtool copy-platform SRC DST      CopyFileW
//   benchtool tree-ours SRC DST          Directories::Copy
//   benchtool tree-platform SRC DST      a plain walk: CreateDirectoryW per folder, CopyFileW
//                                        per file, the way a program that trusts the platform's
//                                        copy would do it
//   benchtool tree-open SRC              opens and closes every file below SRC, nothing else:
//                                        what the platform charges per file before any copying
//   benchtool backup-ours DIR            RegistryService::Backup
//   benchtool backup-bare DIR            RegSaveKey of the same hives, nothing else
//   benchtool backup-parts DIR           the registry backup's work besides the saves, each part
//                                        timed alone in the order the backup does it: "<first
//                                        XML document> <manifest> <drive letters> <folders>"
//                                        in seconds, then the DOS device names listed and queried
//   benchtool ad-backup DIR              ActiveDirectory::Backup through the directory backup API
//                                        (a domain controller of version 5)
//   benchtool fill-registry KEY COUNT    COUNT values below HKLM\KEY, 100 to a subkey
//   benchtool sysvol-ours DIR            SystemVolume::Backup (manifest and tree copy)
//   benchtool hash-ours DIR              ssbr's catalog: SHA256SUMS of every file below DIR
//   benchtool read-manifest DIR COUNT    RegistryBackupSet::GetFiles of DIR's manifest, which
//                                        must list COUNT entries
//   benchtool certsrv-backup DIR         CertificateServices::Backup of this machine's authority
//                                        into DIR (created); its progress lines come first, the
//                                        figures last
//
// Prints "<seconds> <peak working set in bytes>" on success (exit 0); a failure prints its
// reason on stderr and exits 1, usage errors exit 2.

#include "activedirectory/ActiveDirectory.h"
#include "bootfiles/CoreBootSystemFiles.h"
#include "certsrv/CertificateServices.h"
#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "platform/MountManagerClient.h"
#include "text/Strings.h"
#include "xml/XmlWrapper.h"
#include "privileges/Privileges.h"
#include "registry/RegistryBackupSet.h"
#include "registry/RegistryService.h"
#include "sysvol/SystemVolume.h"

#include "Catalog.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>

namespace
{
    const wchar_t* const HiveListPath = L"System\\CurrentControlSet\\Control\\hivelist";

    int Fail(const String& text)
    {
        const std::string utf8 = Strings::ToUtf8(L"benchtool: " + text + L"\n");
        fwrite(utf8.data(), 1, utf8.size(), stderr);
        return 1;
    }

    int Usage()
    {
        fputs("usage: benchtool copy-ours|copy-platform|tree-ours|tree-platform SRC DST\n"
              "       benchtool tree-open SRC\n"
              "       benchtool backup-ours|backup-bare|backup-parts|bootfiles-ours|sysvol-ours|hash-ours|ad-backup|certsrv-backup DIR\n"
              "       benchtool fill-registry KEY COUNT\n",
              stderr);
        return 2;
    }

    // Runs the operation once and prints its time and the process's peak working set.
    int Measure(const std::function<bool(String&)>& operation)
    {
        LARGE_INTEGER frequency;
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceFrequency(&frequency);
        String failure;
        QueryPerformanceCounter(&start);
        const bool done = operation(failure);
        QueryPerformanceCounter(&end);
        if (!done)
            return Fail(failure);

        PROCESS_MEMORY_COUNTERS memory{};
        if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
            return Fail(L"GetProcessMemoryInfo: " + ErrorText::FormatLastError());
        const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
        printf("%.6f %llu\n", seconds, static_cast<unsigned long long>(memory.PeakWorkingSetSize));
        return 0;
    }

    bool EnableBackupPrivileges(String& failure)
    {
        for (const wchar_t* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME})
        {
            const DWORD error = Privileges::Enable(privilege);
            if (error != ERROR_SUCCESS)
            {
                failure = Strings::Format(L"enabling %s: %s", privilege, ErrorText::Format(error).c_str());
                return false;
            }
        }
        return true;
    }

    // What a backup program that knows the hive list would do with nothing around it: open each
    // machine or user hive that has a file on a volume and save it, one file per hive.
    bool SaveHivesBare(const String& directory, String& failure)
    {
        if (!CreateDirectoryW(directory.c_str(), nullptr))
        {
            failure = L"CreateDirectory " + directory + L": " + ErrorText::FormatLastError();
            return false;
        }
        UniqueRegKey hiveList;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, HiveListPath, 0, KEY_QUERY_VALUE, hiveList.put());
        if (status != ERROR_SUCCESS)
        {
            failure = L"RegOpenKeyEx hivelist: " + ErrorText::Format(status);
            return false;
        }
        for (DWORD index = 0;; ++index)
        {
            wchar_t name[512];
            wchar_t data[1024];
            DWORD nameLength = ARRAYSIZE(name);
            DWORD dataSize = sizeof data - sizeof(wchar_t);
            DWORD type = 0;
            status = RegEnumValueW(hiveList.get(), index, name, &nameLength, nullptr, &type,
                                   reinterpret_cast<BYTE*>(data), &dataSize);
            if (status == ERROR_NO_MORE_ITEMS)
                return true;
            if (status != ERROR_SUCCESS)
            {
                failure = L"RegEnumValue hivelist: " + ErrorText::Format(status);
                return false;
            }
            data[dataSize / sizeof(wchar_t)] = L'\0';
            if (type != REG_SZ || wcsstr(data, L"\\Device\\") == nullptr || wcsstr(data, L"\\Boot\\BCD") != nullptr)
                continue;

            const String hivePath = name;
            const String machine = L"\\REGISTRY\\MACHINE\\";
            const String user = L"\\REGISTRY\\USER\\";
            HKEY root;
            String subkey;
            if (Strings::StartsWithNoCase(hivePath, machine))
            {
                root = HKEY_LOCAL_MACHINE;
                subkey = hivePath.substr(machine.size());
            }
            else if (Strings::StartsWithNoCase(hivePath, user))
            {
                root = HKEY_USERS;
                subkey = hivePath.substr(user.size());
            }
            else
            {
                continue;
            }

            UniqueRegKey hive;
            status = RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_BACKUP_RESTORE, KEY_QUERY_VALUE,
                                     nullptr, hive.put(), nullptr);
            if (status != ERROR_SUCCESS)
            {
                failure = L"RegCreateKeyEx " + hivePath + L": " + ErrorText::Format(status);
                return false;
            }
            const String file = Strings::Format(L"%s\\%lu", directory.c_str(), index);
            status = RegSaveKeyW(hive.get(), file.c_str(), nullptr);
            if (status != ERROR_SUCCESS)
            {
                failure = L"RegSaveKey " + hivePath + L": " + ErrorText::Format(status);
                return false;
            }
        }
    }

    double Now()
    {
        LARGE_INTEGER frequency;
        LARGE_INTEGER now;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart) / frequency.QuadPart;
    }

    // What RegistryService::Backup does besides RegSaveKey, part by part, for the same hives.
    int BackupParts(const String& directory)
    {
        double start = Now();
        {
            CXmlDocumentWrapper first;
        }
        const double firstDocument = Now() - start;

        start = Now();
        RegistryBackupSet backupSet(directory);
        backupSet.Open();
        const double opened = Now() - start;

        UniqueRegKey hiveList;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, HiveListPath, 0, KEY_QUERY_VALUE, hiveList.put()) != ERROR_SUCCESS)
            return Fail(L"RegOpenKeyEx hivelist");
        std::vector<std::pair<String, String>> hives;
        for (DWORD index = 0;; ++index)
        {
            wchar_t name[512];
            wchar_t data[1024];
            DWORD nameLength = ARRAYSIZE(name);
            DWORD dataSize = sizeof data - sizeof(wchar_t);
            if (RegEnumValueW(hiveList.get(), index, name, &nameLength, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                              &dataSize) != ERROR_SUCCESS)
                break;
            data[dataSize / sizeof(wchar_t)] = L'\0';
            hives.emplace_back(name, data);
        }

        start = Now();
        StringList files;
        {
            DosDevices devices;
            for (const auto& hive : hives)
            {
                String device;
                String path;
                if (!RegistryService::SplitHiveFile(hive.second, device, path))
                    continue;
                String drive;
                devices.GetDriveLetter(device, drive);
                std::replace(drive.begin(), drive.end(), L':', L'\\');
                files.push_back(directory + L"\\Reg\\" + drive + path);
            }
        }
        const double drives = Now() - start;

        start = Now();
        for (const String& file : files)
            if (!Directories::Create(Directories::GetDirectory(file, true)))
                return Fail(L"Directories::Create " + file);
        const double folders = Now() - start;

        start = Now();
        for (const auto& hive : hives)
            backupSet.AddFile(hive.first, hive.second, hive.first);
        if (!backupSet.Save())
            return Fail(L"saving the manifest");
        const double manifest = opened + Now() - start;

        StringList names;
        MountManager::ListDosDevices(names);
        printf("%.6f %.6f %.6f %.6f %d\n", firstDocument, manifest, drives, folders, static_cast<int>(names.size()));
        return 0;
    }

    bool OpenEveryFile(const String& directory, String& failure)
    {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((directory + L"\\*").c_str(), &entry));
        if (!search)
        {
            failure = L"FindFirstFile " + directory + L": " + ErrorText::FormatLastError();
            return false;
        }
        do
        {
            const String name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const String path = directory + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (!OpenEveryFile(path, failure))
                    return false;
                continue;
            }
            UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!file)
            {
                failure = L"CreateFile " + path + L": " + ErrorText::FormatLastError();
                return false;
            }
        } while (FindNextFileW(search.get(), &entry));
        return true;
    }

    // The reference for the tree copy: the same folders and files, each file by the platform's
    // own copy call, names beginning with "." skipped as our copy skips them.
    bool CopyTreePlatform(const String& source, const String& destination, String& failure)
    {
        if (!CreateDirectoryW(destination.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        {
            failure = L"CreateDirectory " + destination + L": " + ErrorText::FormatLastError();
            return false;
        }
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((source + L"\\*").c_str(), &entry));
        if (!search)
        {
            failure = L"FindFirstFile " + source + L": " + ErrorText::FormatLastError();
            return false;
        }
        do
        {
            if (entry.cFileName[0] == L'.')
                continue;
            const String from = source + L"\\" + entry.cFileName;
            const String to = destination + L"\\" + entry.cFileName;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (!CopyTreePlatform(from, to, failure))
                    return false;
            }
            else if (!CopyFileW(from.c_str(), to.c_str(), TRUE))
            {
                failure = L"CopyFileW " + from + L": " + ErrorText::FormatLastError();
                return false;
            }
        } while (FindNextFileW(search.get(), &entry));
        return true;
    }

    bool FillRegistry(const String& key, long count, String& failure)
    {
        const long perSubkey = 100;
        const String text(24, L'v');
        for (long first = 0; first < count; first += perSubkey)
        {
            UniqueRegKey subkey;
            const String path = Strings::Format(L"%s\\K%06ld", key.c_str(), first / perSubkey);
            LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                          subkey.put(), nullptr);
            if (status != ERROR_SUCCESS)
            {
                failure = L"RegCreateKeyEx " + path + L": " + ErrorText::Format(status);
                return false;
            }
            for (long value = first; value < count && value < first + perSubkey; ++value)
            {
                const String name = Strings::Format(L"Value%07ld", value);
                const String data = text + name;
                status = RegSetValueExW(subkey.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                        static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
                if (status != ERROR_SUCCESS)
                {
                    failure = L"RegSetValueEx " + path + L": " + ErrorText::Format(status);
                    return false;
                }
            }
        }
        return true;
    }

    int Run(int argc, wchar_t** argv)
    {
        if (argc < 3)
            return Usage();
        const String command = argv[1];
        const String first = argv[2];
        const String second = argc > 3 ? argv[3] : String();
        if (command == L"copy-ours" && argc == 4)
            return Measure([&](String& failure) {
                if (Files::Copy(first, second, false))
                    return true;
                failure = L"Files::Copy: " + ErrorText::FormatLastError();
                return false;
            });
        if (command == L"copy-platform" && argc == 4)
            return Measure([&](String& failure) {
                if (CopyFileW(first.c_str(), second.c_str(), TRUE))
                    return true;
                failure = L"CopyFileW: " + ErrorText::FormatLastError();
                return false;
            });
        if (command == L"tree-ours" && argc == 4)
            return Measure([&](String& failure) {
                const DWORD error = Directories::Copy(first, second);
                if (error == ERROR_SUCCESS)
                    return true;
                failure = L"Directories::Copy: " + ErrorText::Format(error);
                return false;
            });
        if (command == L"tree-platform" && argc == 4)
            return Measure([&](String& failure) {
                return CopyTreePlatform(Paths::ToLongPath(first), Paths::ToLongPath(second), failure);
            });
        if (command == L"tree-open" && argc == 3)
            return Measure([&](String& failure) { return OpenEveryFile(Paths::ToLongPath(first), failure); });
        if (command == L"backup-ours" && argc == 3)
        {
            String refused;
            if (!EnableBackupPrivileges(refused))
                return Fail(refused);
            return Measure([&](String&) {
                RegistryService::Backup(first);
                return true;
            });
        }
        if (command == L"backup-bare" && argc == 3)
        {
            String refused;
            if (!EnableBackupPrivileges(refused))
                return Fail(refused);
            return Measure([&](String& failure) { return SaveHivesBare(first, failure); });
        }
        if (command == L"backup-parts" && argc == 3)
            return BackupParts(first);
        if (command == L"sysvol-ours" && argc == 3)
            return Measure([&](String&) {
                SystemVolume::Backup(first);
                return true;
            });
        // The target must exist and be empty, as the component object leaves it.
        if (command == L"bootfiles-ours" && argc == 3)
            return Measure([&](String&) {
                CoreBootSystemFiles::Backup(first);
                return true;
            });
        if (command == L"hash-ours" && argc == 3)
            return Measure([&](String&) {
                Catalog::WriteSums(first, Catalog::ListFiles(first));
                return true;
            });
        if (command == L"ad-backup" && argc == 3)
            return Measure([&](String&) {
                ActiveDirectory().Backup(String(), String(), String(), String(), first, false);
                return true;
            });
        if (command == L"certsrv-backup" && argc == 3)
        {
            if (!CreateDirectoryW(first.c_str(), nullptr))
                return Fail(L"CreateDirectory " + first + L": " + ErrorText::FormatLastError());
            wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
            DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
            GetComputerNameW(computer, &length);
            return Measure([&](String&) {
                CertificateServices().Backup(computer, first, false);
                return true;
            });
        }
        if (command == L"fill-registry" && argc == 4)
            return Measure([&](String& failure) { return FillRegistry(first, wcstol(second.c_str(), nullptr, 10), failure); });
        if (command == L"read-manifest" && argc == 4)
            return Measure([&](String& failure) {
                RegistryBackupSet manifest(first);
                manifest.OpenExisting(L"No registry backup in %s");
                const size_t count = manifest.GetFiles().size();
                if (count == static_cast<size_t>(wcstol(second.c_str(), nullptr, 10)))
                    return true;
                failure = Strings::Format(L"%d entries read", static_cast<int>(count));
                return false;
            });
        return Usage();
    }
}

int wmain(int argc, wchar_t** argv)
{
    try
    {
        return Run(argc, argv);
    }
    catch (const TarnException::Exception& exception)
    {
        return Fail(exception.GetDescription());
    }
}
