// Saving and restoring user hives named after this process; the lab's restore tests cover SYSTEM's
// keys, the replacement's security, failures part way and the backup only read. The restore's files
// are "C:\SystemStateRestore\Registry\C\hives\<name>" + ".tmp", ".bak", ".work". Wine's replace call
// does nothing, so "scheduled" shows through what comes right before it: an old hive (".bak") an
// earlier restore left is set aside, and removed once the call succeeded.

#include "registry/RegistryService.h"

#include "errors/ErrorText.h"
#include "files/Directories.h"
#include "registry/RegistryBackupSet.h"

#include "ScratchKey.h"

using namespace RegistryTest;

namespace
{
    // Open for reading without letting the file be deleted, as a program verifying the backup would.
    UniqueFileHandle Hold(const String& path)
    {
        return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }

    struct Hives : ::testing::Test
    {
        void SetUp() override
        {
            if (!EnableHivePrivileges())
                GTEST_SKIP() << "the backup and restore privileges cannot be enabled";
            Clean();
        }
        void TearDown() override { Clean(); }
        void Clean()
        {
            for (const String& key : {m_first, m_second})
            {
                RemoveKey(HKEY_USERS, L"TMP_" + key);
                RemoveKey(HKEY_USERS, key);
                Directories::DeleteFiles(Staged(L""), key + L".*");
            }
        }

        String Saved(const String& name) const { return m_folder / (L"Reg\\C\\hives\\" + name); }
        static String Staged(const String& name) { return L"C:\\SystemStateRestore\\Registry\\C\\hives\\" + name; }

        // Makes the user key HKEY_USERS\name and saves it into the backup as a backup would; its
        // manifest entry.
        HiveFileEntry SaveUser(const String& name) const
        {
            SetValue(HKEY_USERS, name + L"\\Software\\Vendor", L"Blob", REG_BINARY, Pattern(3000));
            RegistryService::SaveRegistrySubKey(HKEY_USERS, name, Saved(name));
            return HiveFileEntry(L"C\\hives\\" + name, L"\\Device\\HarddiskVolume1\\hives\\" + name, L"\\REGISTRY\\USER\\" + name);
        }

        // No working copy (nor its logs) and no set-aside old hive is left in the staging folder,
        // and no temporary key.
        void ExpectNoLeftovers() const
        {
            WIN32_FIND_DATAW found;
            for (const String& name : {m_first, m_second})
            {
                for (const wchar_t* pattern : {L".work*", L".bak.old"})
                    EXPECT_FALSE(UniqueFindHandle(FindFirstFileW((Staged(name) + pattern).c_str(), &found)))
                        << "left: " << Strings::ToUtf8(found.cFileName);
                EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + name));
            }
        }

        ScratchDirectory m_folder;
        const String m_first = Unique(L"QmAonFirst");
        const String m_second = Unique(L"QmAonSecond");
    };
}

TEST(SplitHiveFile, SeparatesTheDeviceFromAPathThatStaysInsideTheBackup)
{
    // A dynamic volume keeps its disk group and volume; dots inside a name are no way out.
    const struct { const wchar_t* device; const wchar_t* path; } split[] = {
        {L"\\Device\\HarddiskDmVolumes\\DiskGroup1Dg0\\Volume1", L"WINDOWS\\system32\\config\\SAM"},
        {L"\\Device\\HarddiskVolume1", L"Users\\..a.\\NTUSER.DAT"}};
    String device, path;
    for (const auto& item : split)
    {
        EXPECT_TRUE(RegistryService::SplitHiveFile(String(item.device) + L"\\" + item.path, device, path));
        EXPECT_EQ(String(item.device) + L" | " + item.path, device + L" | " + path);
    }
    // No device path: nothing to save, and nothing written. No file and the boot store are skipped
    // in the lab's registry backup.
    device = path = L"(untouched)";
    EXPECT_FALSE(RegistryService::SplitHiveFile(L"C:\\WINDOWS\\system32\\config\\software", device, path));
    EXPECT_EQ(L"(untouched)(untouched)", device + path);
    // A device without its closing backslash (a dynamic volume needs five before its file path; a
    // plain one is refused in the lab's registry backup), and paths that, appended to the backup
    // folder, would lead out of it or name no file.
    for (const wchar_t* invalid :
         {L"\\Device\\HarddiskDmVolumes\\DiskGroup1Dg0\\Volume1", L"\\Device\\HarddiskVolume1\\",
          L"\\Device\\HarddiskVolume1\\..\\..\\outside\\hive", L"\\Device\\HarddiskVolume1\\WINDOWS\\..\\..\\..\\hive",
          L"\\Device\\HarddiskVolume1\\WINDOWS\\. .\\...\\hive", L"\\Device\\HarddiskVolume1\\WINDOWS/../../hive",
          L"\\Device\\HarddiskVolume1\\\\server\\share\\hive", L"\\Device\\HarddiskVolume1\\D:\\hive",
          L"\\Device\\HarddiskVolume1\\config\\SAM:stream", L"\\Device\\HarddiskVolume1\\config\\SAM\\"})
        EXPECT_EQ(L"Invalid registry value found in: System\\CurrentControlSet\\Control\\hivelist",
                  MessageOf<RegistryServiceException>([&] { RegistryService::SplitHiveFile(invalid, device, path); }))
            << Strings::ToUtf8(invalid);
}

// A second backup into the same folder, after the key changed, must not replace the first.
TEST_F(Hives, SavingAgainFailsAndKeepsTheHiveFileSavedBefore)
{
    SetValue(HKEY_USERS, m_first, L"v", REG_DWORD, DwordBytes(1));
    const String file = Saved(m_first);
    EXPECT_TRUE(RegistryService::SaveRegistrySubKey(HKEY_USERS, m_first, file));
    const RawTree first = DumpHiveFile(file);
    ASSERT_EQ(DumpTree(HKEY_USERS, m_first), first);
    SetValue(HKEY_USERS, m_first, L"v", REG_DWORD, DwordBytes(2));
    const String message =
        MessageOf<RegistryServiceException>([&] { RegistryService::SaveRegistrySubKey(HKEY_USERS, m_first, file); });
    // "RegSaveKey(<handle>, <file>) failed: 183.\n<error text>", here without the handle.
    EXPECT_EQ(L"RegSaveKey(, " + file + L") failed: 183.\n" + ErrorText::Format(ERROR_ALREADY_EXISTS),
              message.substr(0, 11) + message.substr(std::min(message.find(L", "), message.size())));
    EXPECT_EQ(first, DumpHiveFile(file));
}

// That the saved files stay as they were is checked in the lab's restore test.
TEST_F(Hives, ARestoreTakesSavedHivesItMayOnlyReadAndRunsAgain)
{
    RegistryBackupSet manifest(m_folder.Path());
    manifest.Open();
    for (const String& name : {m_second, m_first})
    {
        const HiveFileEntry entry = SaveUser(name);
        manifest.AddFile(entry.GetFilePath(), entry.GetHiveFile(), entry.GetHivePath());
    }
    ASSERT_TRUE(manifest.Save());
    const RawTree firstTree = DumpTree(HKEY_USERS, m_first);
    // Read-only, as on a copy from removable media.
    ASSERT_TRUE(SetFileAttributesW(Saved(m_second).c_str(), FILE_ATTRIBUTE_READONLY));
    // The platform cannot load a file another handle has open, and loading the saved file itself
    // would write into the backup on Windows.
    const UniqueFileHandle reader = Hold(Saved(m_first));
    ASSERT_TRUE(reader);
    EXPECT_NO_THROW(RegistryService::Restore(m_folder.Path()));
    EXPECT_EQ(DumpTree(HKEY_USERS, m_first), DumpHiveFile(Staged(m_first) + L".tmp"));
    EXPECT_EQ(DumpTree(HKEY_USERS, m_second), DumpHiveFile(Staged(m_second) + L".tmp"));
    ExpectNoLeftovers();
    // Again, after a completed restore whose old hives the machine has released since.
    const std::string stale = "old hive of an earlier restore";
    WriteTextFile(Staged(m_first) + L".bak", stale);
    EXPECT_NO_THROW(RegistryService::Restore(m_folder.Path()));
    EXPECT_TRUE(!IsFileOnDisk(Staged(m_first) + L".bak") || ReadTextFile(Staged(m_first) + L".bak") != stale)
        << "the earlier restore's old hive is in the way of the new replacement";
    ExpectNoLeftovers();

    EXPECT_EQ(firstTree, DumpTree(HKEY_USERS, m_first)) << "the live hive was written";
}

// The lab's reliability test holds a replacement (.tmp) that an earlier restore left; here its
// old hive held, and a replacement that cannot be deleted.
TEST_F(Hives, WhatAnEarlierRestoreLeftAndCannotBeRemovedIsReportedBeforeAnythingIsLoaded)
{
    for (const bool held : {true, false})
    {
        SCOPED_TRACE(held ? ".bak held" : ".tmp read-only");
        const String name = held ? m_first : m_second;
        const HiveFileEntry entry = SaveUser(name);
        const String left = Staged(name) + (held ? L".bak" : L".tmp");
        WriteTextFile(left, "left");
        const String expected = held ? left + L" is in use: a restore scheduled earlier may be waiting for the restart.\nError = 0x"
                                     : L"DeleteFile(" + left + L") failed.\nError = 0x";
        const UniqueFileHandle platform = held ? Hold(left) : UniqueFileHandle();
        ASSERT_TRUE(held || SetFileAttributesW(left.c_str(), FILE_ATTRIBUTE_READONLY));
        const String message = MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(m_folder / L"Reg", entry); });
        EXPECT_EQ(expected, message.substr(0, expected.size())) << Strings::ToUtf8(message);
        EXPECT_EQ("left", ReadTextFile(left));
        EXPECT_TRUE(!held || !IsFileOnDisk(Staged(name) + L".tmp")) << "prepared anyway";
        ExpectNoLeftovers();
    }
}
