// Saving and restoring hives, driven with user hives named after this process. The rules depend
// on the hive's name, so HKEY_USERS\SYSTEM stands in for the machine's; one test alone uses it.
//
// The restore's files go to the staging folder of the live hive's volume; the hive files of these
// tests are named on C: ("\Device\HarddiskVolume1\hives\<name>"), so to
// "C:\SystemStateRestore\Registry\C\hives\<name>" + ".tmp", ".bak", ".work".
//
// Wine's replace call does nothing, so "scheduled" shows through what the restore does to a hive
// right before asking for its replacement: an old-hive file (".bak") that an earlier restore
// left is set aside there and removed once the call succeeded.

#include "registry/RegistryService.h"

#include "common/ErrorText.h"
#include "common/FileSystem.h"
#include "registry/RegistryBackupSet.h"

#include "common/FileSecurity.h"
#include "ScratchKey.h"

using namespace RegistryTest;

namespace
{
    const char* const StaleOldHive = "old hive of an earlier restore";

    // Open for reading without letting the file be deleted, as a program verifying the backup would.
    UniqueFileHandle Hold(const String& path)
    {
        return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }

    class Hives : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            if (!EnableHivePrivileges())
                GTEST_SKIP() << "the backup and restore privileges cannot be enabled";
            Clean();
        }
        void TearDown() override { Clean(); }
        void Clean()
        {
            for (const auto& key : m_keys)
            {
                RemoveKey(key.first, L"TMP_" + key.second);
                RemoveKey(key.first, key.second);
            }
            // Saving refuses files that exist.
            Directories::Delete(m_folder / L"Reg");
            DeleteFileW((m_folder / L"RegistryBackupSet.xml").c_str());
            for (const auto& key : m_keys)
            {
                for (const wchar_t* suffix : {L".tmp", L".bak", L".work", L".bak.old"})
                {
                    SetFileAttributesW((Staged(key.second) + suffix).c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW((Staged(key.second) + suffix).c_str());
                }
            }
        }

        String Reg() const { return m_folder / L"Reg"; }
        String Saved(const String& name) const { return Reg() + L"\\C\\hives\\" + name; }
        static String Staged(const String& name) { return L"C:\\SystemStateRestore\\Registry\\C\\hives\\" + name; }

        // Every file below the backup folder, by its path there: a restore only reads it.
        std::vector<String> BackupFiles() const
        {
            std::vector<String> files;
            ListFiles(m_folder.Path(), String(), files);
            return files;
        }
        static void ListFiles(const String& folder, const String& below, std::vector<String>& files)
        {
            WIN32_FIND_DATAW found;
            UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
            if (!find)
                return;
            do
            {
                const String name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const String path = below.empty() ? name : below + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    ListFiles(folder + L"\\" + name, path, files);
                else
                    files.push_back(path);
            } while (FindNextFileW(find.get(), &found));
        }

        // Saves the live key root\name into the backup as a backup would; its manifest entry.
        HiveFileEntry Save(HKEY root, const String& name) const
        {
            RegistryService::SaveRegistrySubKey(root, name, Saved(name));
            const String prefix = root == HKEY_USERS ? L"\\REGISTRY\\USER\\" : L"\\REGISTRY\\MACHINE\\";
            return HiveFileEntry(L"C\\hives\\" + name, L"\\Device\\HarddiskVolume1\\hives\\" + name, prefix + name);
        }

        HiveFileEntry SaveUser(const String& name) const
        {
            SetValue(HKEY_USERS, name + L"\\Software\\Vendor", L"Blob", REG_BINARY, Pattern(3000));
            return Save(HKEY_USERS, name);
        }

        void WriteManifest(const std::vector<HiveFileEntry>& entries) const
        {
            RegistryBackupSet manifest(m_folder.Path());
            manifest.Open();
            // Each new entry goes in front.
            for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry)
                manifest.AddFile(entry->GetFilePath(), entry->GetHiveFile(), entry->GetHivePath());
            ASSERT_TRUE(manifest.Save());
        }

        // No working copy (nor its logs) and no set-aside old hive is left in the staging folder.
        void ExpectNoLeftovers() const
        {
            WIN32_FIND_DATAW found;
            for (const String& name : {m_first, m_second})
            {
                for (const wchar_t* pattern : {L".work*", L".bak.old"})
                {
                    UniqueFindHandle find(FindFirstFileW((Staged(name) + pattern).c_str(), &found));
                    EXPECT_FALSE(find) << "left: " << Strings::ToUtf8(found.cFileName);
                }
            }
        }

        ScratchDirectory m_folder;
        const String m_first = UniqueName(L"QmAonFirst");
        const String m_second = UniqueName(L"QmAonSecond");
        const String m_machine = UniqueName(L"QmAonNoHive");
        std::vector<std::pair<HKEY, String>> m_keys = {
            {HKEY_USERS, m_first}, {HKEY_USERS, m_second}, {HKEY_LOCAL_MACHINE, m_machine}};
    };
}

TEST(SplitHiveFile, SeparatesTheDeviceFromAPathThatStaysInsideTheBackup)
{
    const struct
    {
        const wchar_t* device;
        const wchar_t* path;
    } split[] = {// A dynamic volume keeps its disk group and volume; dots inside a name are no way out.
                 {L"\\Device\\HarddiskDmVolumes\\DiskGroup1Dg0\\Volume1", L"WINDOWS\\system32\\config\\SAM"},
                 {L"\\Device\\HarddiskVolume1", L"Users\\..a.\\NTUSER.DAT"}};
    for (const auto& item : split)
    {
        String device, path;
        EXPECT_TRUE(RegistryService::SplitHiveFile(String(item.device) + L"\\" + item.path, device, path));
        EXPECT_EQ(item.device, device);
        EXPECT_EQ(item.path, path);
    }
    // No file, the boot store, no device path: nothing to save, and nothing written.
    for (const wchar_t* skipped : {L"", L"\\Device\\HarddiskVolume1\\Boot\\BCD", L"C:\\WINDOWS\\system32\\config\\software"})
    {
        String device = L"(untouched)", path = L"(untouched)";
        EXPECT_FALSE(RegistryService::SplitHiveFile(skipped, device, path)) << Strings::ToUtf8(skipped);
        EXPECT_EQ(L"(untouched)(untouched)", device + path);
    }
    // A device without its closing backslash (a dynamic volume needs five before its file path),
    // and paths that, appended to the backup folder, would lead out of it or name no file.
    for (const wchar_t* invalid :
         {L"\\Device\\HarddiskDmVolumes\\DiskGroup1Dg0\\Volume1", L"\\Device\\HarddiskVolume1\\",
          L"\\Device\\HarddiskVolume1\\..\\..\\outside\\hive", L"\\Device\\HarddiskVolume1\\WINDOWS\\..\\..\\..\\hive",
          L"\\Device\\HarddiskVolume1\\WINDOWS\\. .\\...\\hive", L"\\Device\\HarddiskVolume1\\WINDOWS/../../hive",
          L"\\Device\\HarddiskVolume1\\\\server\\share\\hive", L"\\Device\\HarddiskVolume1\\D:\\hive",
          L"\\Device\\HarddiskVolume1\\config\\SAM:stream", L"\\Device\\HarddiskVolume1\\config\\SAM\\"})
    {
        String device, path;
        EXPECT_EQ(L"Invalid registry value found in: System\\CurrentControlSet\\Control\\hivelist",
                  MessageOf<RegistryServiceException>([&] { RegistryService::SplitHiveFile(invalid, device, path); }))
            << Strings::ToUtf8(invalid);
    }
}

TEST_F(Hives, SavingReportsFailuresAndKeepsAHiveFileSavedBefore)
{
    SetValue(HKEY_USERS, m_first, L"v", REG_DWORD, DwordBytes(1));
    // An entry of the hive list with neither known prefix has no root key; the text after the
    // code describes that code.
    EXPECT_EQ(L"RegOpenKeyEx(0, SOMETHING) failed: 6.\n" + ErrorText::Format(ERROR_INVALID_HANDLE),
              MessageOf<RegistryServiceException>([&] {
                  RegistryService::SaveRegistrySubKey(nullptr, L"SOMETHING", Saved(L"x"));
              }));
    EXPECT_FALSE(IsFileOnDisk(Saved(L"x")));
    // A hive that is not loaded is skipped: opened, never created.
    EXPECT_FALSE(RegistryService::SaveRegistrySubKey(HKEY_LOCAL_MACHINE, m_machine, Saved(m_machine)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, m_machine));
    EXPECT_FALSE(IsDirectoryOnDisk(Reg()));

    // A second backup into the same folder, after the key changed, must not replace the first.
    const String file = Saved(m_first);
    EXPECT_TRUE(RegistryService::SaveRegistrySubKey(HKEY_USERS, m_first, file));
    const RawTree first = DumpHiveFile(file);
    ASSERT_EQ(DumpTree(HKEY_USERS, m_first), first);
    SetValue(HKEY_USERS, m_first, L"v", REG_DWORD, DwordBytes(2));
    const String message =
        MessageOf<RegistryServiceException>([&] { RegistryService::SaveRegistrySubKey(HKEY_USERS, m_first, file); });
    // "RegSaveKey(<handle>, <file>) failed: 183.\n<error text>"
    const String tail = L", " + file + L") failed: 183.\n" + ErrorText::Format(ERROR_ALREADY_EXISTS);
    ASSERT_GT(message.size(), tail.size()) << Strings::ToUtf8(message);
    EXPECT_EQ(tail, message.substr(message.size() - tail.size()));
    EXPECT_EQ(L"RegSaveKey(", message.substr(0, 11));
    EXPECT_EQ(first, DumpHiveFile(file));
}

TEST_F(Hives, AFailureWhilePreparingSchedulesNothingAndLeavesNoTemporaryKey)
{
    const HiveFileEntry first = SaveUser(m_first);
    WriteTextFile(Staged(m_first) + L".bak", StaleOldHive);
    const std::string firstBytes = ReadTextFile(Saved(m_first));
    const std::vector<HiveFileEntry> entries = {first, SaveUser(m_second)};
    WriteTextFile(Saved(m_second), "not a hive");
    WriteManifest(entries);
    const std::vector<String> backupFiles = BackupFiles();

    // Twice: a failed load must leave nothing that stops the next attempt.
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        const String expected = Strings::Format(L"RegLoadKey(-2147483645, TMP_%s, %s.work) failed: ", m_second.c_str(),
                                                Staged(m_second).c_str());
        const String message = MessageOf<RegistryServiceException>([&] { RegistryService::Restore(m_folder.Path()); });
        EXPECT_EQ(expected, message.substr(0, expected.size())) << Strings::ToUtf8(message);
        // The first was prepared, and its replacement removed again; none was asked for.
        EXPECT_FALSE(IsFileOnDisk(Staged(m_first) + L".tmp"));
        EXPECT_FALSE(IsFileOnDisk(Staged(m_second) + L".tmp"));
        EXPECT_EQ(StaleOldHive, ReadTextFile(Staged(m_first) + L".bak"));
        EXPECT_EQ(firstBytes, ReadTextFile(Saved(m_first)));
        EXPECT_EQ(backupFiles, BackupFiles());
        EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_first));
        EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_second));
        ExpectNoLeftovers();
    }
}

TEST_F(Hives, ARestoreRunsAgainAndNeverChangesTheSavedHives)
{
    WriteManifest({SaveUser(m_first), SaveUser(m_second)});
    const std::vector<String> backupFiles = BackupFiles();
    const std::string firstBytes = ReadTextFile(Saved(m_first));
    const std::string secondBytes = ReadTextFile(Saved(m_second));
    const RawTree firstTree = DumpTree(HKEY_USERS, m_first);

    // Read-only, as on a copy from removable media.
    ASSERT_TRUE(SetFileAttributesW(Saved(m_second).c_str(), FILE_ATTRIBUTE_READONLY));
    // The platform cannot load a file another handle has open, and loading the saved file itself
    // would write into the backup on Windows.
    {
        const UniqueFileHandle reader = Hold(Saved(m_first));
        ASSERT_TRUE(reader);
        EXPECT_NO_THROW(RegistryService::Restore(m_folder.Path()));
    }
    EXPECT_EQ(DumpTree(HKEY_USERS, m_first), DumpHiveFile(Staged(m_first) + L".tmp"));
    EXPECT_EQ(DumpTree(HKEY_USERS, m_second), DumpHiveFile(Staged(m_second) + L".tmp"));
    ExpectNoLeftovers();
    EXPECT_EQ(backupFiles, BackupFiles());

    // Again, after a completed restore whose old hives the machine has released since.
    WriteTextFile(Staged(m_first) + L".bak", StaleOldHive);
    EXPECT_NO_THROW(RegistryService::Restore(m_folder.Path()));
    EXPECT_TRUE(!IsFileOnDisk(Staged(m_first) + L".bak") || ReadTextFile(Staged(m_first) + L".bak") != StaleOldHive)
        << "the earlier restore's old hive is in the way of the new replacement";
    ExpectNoLeftovers();
    EXPECT_EQ(backupFiles, BackupFiles());

    EXPECT_EQ(firstBytes, ReadTextFile(Saved(m_first)));
    EXPECT_EQ(secondBytes, ReadTextFile(Saved(m_second)));
    EXPECT_EQ(firstTree, DumpTree(HKEY_USERS, m_first)) << "the live hive was written";
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_first));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_second));
    SetFileAttributesW(Saved(m_second).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Hives, WhatAnEarlierRestoreLeftAndCannotBeRemovedIsReportedBeforeAnythingIsLoaded)
{
    const String inUse = L" is in use: a restore scheduled earlier may be waiting for the restart.\nError = 0x";
    const struct
    {
        const wchar_t* suffix;
        bool held; // else read-only
    } cases[] = {{L".tmp", true}, {L".bak", true}, {L".tmp", false}};
    for (const auto& test : cases)
    {
        SCOPED_TRACE(Strings::ToUtf8(test.suffix) + (test.held ? " held" : " read-only"));
        Clean();
        const HiveFileEntry entry = SaveUser(m_first);
        const String left = Staged(m_first) + test.suffix;
        WriteTextFile(left, "left");
        const String expected = test.held ? left + inUse : L"DeleteFile(" + left + L") failed.\nError = 0x";
        {
            const UniqueFileHandle platform = test.held ? Hold(left) : UniqueFileHandle();
            ASSERT_TRUE(test.held || SetFileAttributesW(left.c_str(), FILE_ATTRIBUTE_READONLY));
            const String message = MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(Reg(), entry); });
            EXPECT_EQ(expected, message.substr(0, expected.size())) << Strings::ToUtf8(message);
        }
        SetFileAttributesW(left.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ("left", ReadTextFile(left));
        EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_first));
        EXPECT_TRUE(String(test.suffix) == L".tmp" || !IsFileOnDisk(Staged(m_first) + L".tmp")) << "prepared anyway";
        ExpectNoLeftovers();
        DeleteFileW(left.c_str());
    }
}

TEST_F(Hives, AFilePathLeadingOutOfTheBackupIsRefusedBeforeAnythingIsTouched)
{
    const HiveFileEntry entry = SaveUser(m_first);
    const String outside = m_folder / L"outside\\NTUSER.DAT";
    RegistryService::SaveRegistrySubKey(HKEY_USERS, m_first, outside);
    WriteTextFile(outside + L".tmp", "not the restore's");
    for (const String& filepath : {String(L"C\\..\\..\\outside\\NTUSER.DAT"), outside})
    {
        const HiveFileEntry hostile(filepath, entry.GetHiveFile(), entry.GetHivePath());
        EXPECT_EQ(L"Invalid hive file path: " + filepath,
                  MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(Reg(), hostile); }));
        EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_first)) << Strings::ToUtf8(filepath);
    }
    EXPECT_EQ("not the restore's", ReadTextFile(outside + L".tmp"));
}

// The platform swaps the replacement in by renaming it, and a rename keeps the file's own
// security: it must be the live hive file's, not the staging folder's.
TEST_F(Hives, TheReplacementTakesTheSecurityOfTheLiveHiveFile)
{
    const HiveFileEntry entry = SaveUser(m_first);
    // A hive that is not loaded: its live file is the one at the manifest's drive letter and path.
    const String live = L"C:\\" + entry.GetFilePath().substr(2);
    CreateDirectoryW(Directories::GetDirectory(live, false).c_str(), nullptr);
    WriteTextFile(live, "the live hive's file");
    const auto removeLive = OnScopeExit([&] {
        DeleteFileW(live.c_str());
        RemoveDirectoryW(Directories::GetDirectory(live, false).c_str());
    });
    FileSecurity::SetList(live, L"D:(A;;FA;;;SY)(A;;FA;;;" + FileSecurity::UserSid() + L")");

    RegistryService::RestoreHive(Reg(), entry);

    const String replacement = Staged(m_first) + L".tmp";
    EXPECT_EQ(DumpTree(HKEY_USERS, m_first), DumpHiveFile(replacement));
    EXPECT_FALSE(FileSecurity::GrantsEveryone(FileSecurity::SddlOf(live)));
    EXPECT_EQ(FileSecurity::SddlOf(live), FileSecurity::SddlOf(replacement));
}

// The lab's restore test covers a machine whose live control set is the first; here the live
// system selects its second one, and a service's start lies below its key.
TEST_F(Hives, SystemTakesListedKeysThroughTheControlSetTheLiveSystemSelects)
{
    m_keys.emplace_back(HKEY_USERS, L"SYSTEM");
    Clean();
    SetValue(HKEY_USERS, L"SYSTEM\\Select", L"Default", REG_DWORD, DwordBytes(2));
    const String list = L"SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";
    SetValue(HKEY_USERS, list, L"Plug & Play", REG_MULTI_SZ, ToBytes(String(L"CurrentControlSet\\Enum\\") + L'\0'));
    SetValue(HKEY_USERS, list, L"Services", REG_MULTI_SZ, ToBytes(String(L"CurrentControlSet\\Services\\*") + L'\0'));
    const String set1 = L"SYSTEM\\ControlSet001\\";
    const String set2 = L"SYSTEM\\ControlSet002\\";
    // Saved, then live: the service starts earlier now, by a start value below its key.
    const auto state = [&](const wchar_t* text, DWORD deepStart) {
        for (const String& set : {set1, set2})
            SetValue(HKEY_USERS, set + L"Enum\\Root\\A", L"Service", REG_SZ, ToBytes(set + text));
        SetValue(HKEY_USERS, set2 + L"Services\\Deep", L"ImagePath", REG_SZ, ToBytes(text));
        SetValue(HKEY_USERS, set2 + L"Services\\Deep\\Parameters", L"Start", REG_DWORD, DwordBytes(deepStart));
    };
    state(L"saved", 3);
    const HiveFileEntry entry = Save(HKEY_USERS, L"SYSTEM");
    state(L"live", 1);
    const RawTree live = DumpTree(HKEY_USERS, L"SYSTEM");

    RegistryService::RestoreHive(Reg(), entry);

    // gtest reports a missing value as the exception thrown by at().
    const RawTree replacement = DumpHiveFile(Staged(L"SYSTEM") + L".tmp");
    const auto value = [&](const wchar_t* key, const wchar_t* name) { return replacement.at(key).values.at(name).data; };
    EXPECT_EQ(ToBytes(set2 + L"live"), value(L"ControlSet002\\Enum\\Root\\A", L"Service"));
    EXPECT_EQ(ToBytes(set1 + L"saved"), value(L"ControlSet001\\Enum\\Root\\A", L"Service"));
    EXPECT_EQ(ToBytes(L"live"), value(L"ControlSet002\\Services\\Deep", L"ImagePath"));
    EXPECT_EQ(live, DumpTree(HKEY_USERS, L"SYSTEM"));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_SYSTEM"));
}
