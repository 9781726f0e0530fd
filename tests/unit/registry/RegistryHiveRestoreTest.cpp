// The restore of saved hives, driven with hives loaded below HKEY_USERS: the rules depend only on
// the hive's name, so a key named SYSTEM or SOFTWARE there stands in for the machine's hive
// without touching it.

#include "registry/RegistryService.h"

#include "common/FileSystem.h"
#include "common/ScratchDirectory.h"
#include "registry/RegistryBackupSet.h"

#include "HiveTestSupport.h"

using namespace RegistryTest;
using namespace HiveTest;

namespace
{
    const int MachineNumber = -2147483646; // HKEY_LOCAL_MACHINE as the messages print it

    const wchar_t* const UserKeys[] = {L"QmTestUser", L"SYSTEM", L"SOFTWARE"};
    const wchar_t* const MachineKey = L"QmTestNoHive";

    class HiveRestore : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            if (!EnableHivePrivileges())
                GTEST_SKIP() << "the backup and restore privileges cannot be enabled";
            Clean();
        }

        void TearDown() override { Clean(); }

        static void Clean()
        {
            for (const wchar_t* name : UserKeys)
            {
                RemoveUserKey(String(L"TMP_") + name);
                RemoveUserKey(name);
            }
            RegUnLoadKeyW(HKEY_LOCAL_MACHINE, (String(L"TMP_") + MachineKey).c_str());
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, MachineKey);
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, MachineKey);
        }

        String Reg() const { return m_folder / L"Reg"; }
        String Saved(const String& filepath) const { return Reg() + L"\\" + filepath; }

        // Saves the live key root\name as a backup would, and gives the manifest entry for it.
        HiveFileEntry SaveLive(HKEY root, const String& name, const String& filepath) const
        {
            RegistryService::SaveRegistrySubKey(root, name, Saved(filepath));
            const String prefix = root == HKEY_USERS ? L"\\REGISTRY\\USER\\" : L"\\REGISTRY\\MACHINE\\";
            return HiveFileEntry(filepath, L"\\Device\\HarddiskVolume1\\" + filepath.substr(2), prefix + name);
        }

        ScratchDirectory m_folder{L"hive-restore"};
    };

    const wchar_t* const UserFile = L"C\\Documents and Settings\\QmTest\\NTUSER.DAT";
}

TEST_F(HiveRestore, AUserHiveThatIsNotLoadedIsPreparedButNotScheduled)
{
    SetValue(HKEY_USERS, L"QmTestUser\\Environment", L"TEMP", REG_EXPAND_SZ, ToBytes(L"%USERPROFILE%\\Temp"));
    SetDword(HKEY_USERS, L"QmTestUser\\Software\\Vendor", L"Setting", 5);
    SetValue(HKEY_USERS, L"QmTestUser\\Software\\Vendor", L"Blob", REG_BINARY, Pattern(5000));
    const RawTree live = DumpTree(HKEY_USERS, L"QmTestUser");
    const HiveFileEntry entry = SaveLive(HKEY_USERS, L"QmTestUser", UserFile);
    // The user has logged off since the backup; an earlier attempt left a replacement behind.
    RemoveUserKey(L"QmTestUser");
    const String saved = Saved(UserFile);
    WriteTextFile(saved + L".tmp", "left over from an earlier attempt");

    EXPECT_NO_THROW(RegistryService::RestoreHive(Reg(), entry));

    EXPECT_EQ(live, DumpHiveFile(saved + L".tmp"));
    EXPECT_EQ(live, DumpHiveFile(saved));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_QmTestUser")) << "the saved hive is still loaded";
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"QmTestUser"));
    EXPECT_FALSE(IsFileOnDisk(saved + L".bak"));
}

TEST_F(HiveRestore, AStaleReplacementThatCannotBeDeletedIsReported)
{
    SetDword(HKEY_USERS, L"QmTestUser", L"v", 1);
    const HiveFileEntry entry = SaveLive(HKEY_USERS, L"QmTestUser", UserFile);
    RemoveUserKey(L"QmTestUser");
    const String replacement = Saved(UserFile) + L".tmp";
    WriteTextFile(replacement, "stale");
    ASSERT_TRUE(SetFileAttributesW(replacement.c_str(), FILE_ATTRIBUTE_READONLY));

    ExpectFailureMessage(L"DeleteFile(" + replacement + L") failed.",
                         MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(Reg(), entry); }));

    SetFileAttributesW(replacement.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ("stale", ReadTextFile(replacement));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_QmTestUser")) << "a failed restore left the saved hive loaded";
}

TEST_F(HiveRestore, AMachineHiveThatIsNotLoadedIsAnError)
{
    SetDword(HKEY_LOCAL_MACHINE, MachineKey, L"v", 1);
    const String file = L"C\\WINDOWS\\system32\\config\\QMTEST";
    const HiveFileEntry entry = SaveLive(HKEY_LOCAL_MACHINE, MachineKey, file);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, MachineKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MachineKey);

    ExpectFailureMessage(Strings::Format(L"RegOpenKeyEx(%d, QmTestNoHive) failed: 2", MachineNumber),
                         MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(Reg(), entry); }));
    // Everything before the replacement was done.
    EXPECT_EQ(DumpHiveFile(Saved(file)), DumpHiveFile(Saved(file) + L".tmp"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"TMP_QmTestNoHive"));
}

TEST_F(HiveRestore, SystemTakesEveryListedKeyChildAndValueFromTheLiveSystem)
{
    // The live system uses its second control set; the first must not be touched.
    SetDword(HKEY_USERS, L"SYSTEM\\Select", L"Current", 2);
    SetDword(HKEY_USERS, L"SYSTEM\\Select", L"Default", 2);
    const String list = L"SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";
    SetMultiString(HKEY_USERS, list, L"Plug & Play",
                   {L"CurrentControlSet\\Enum\\", L"CurrentControlSet\\Control\\Gone\\"});
    SetMultiString(HKEY_USERS, list, L"Mount Manager", {L"MountedDevices\\"});
    SetMultiString(HKEY_USERS, list, L"Installed Services", {L"CurrentControlSet\\Services\\*"});
    SetMultiString(HKEY_USERS, list, L"Values",
                   {L"CurrentControlSet\\Control\\Session Manager\\PendingFileRenameOperations",
                    L"CurrentControlSet\\Control\\Session Manager\\NotOnTheLiveSystem",
                    L"ControlSet002\\Control\\Plain\\Flag"});

    const String set = L"SYSTEM\\ControlSet002\\";
    SetString(HKEY_USERS, set + L"Enum\\Root\\LEGACY_A\\0000", L"Service", L"A");
    SetDword(HKEY_USERS, set + L"Control\\Gone\\Inner", L"x", 1);
    SetDword(HKEY_USERS, set + L"Control\\Session Manager", L"AllowProtectedRenames", 1);
    SetString(HKEY_USERS, set + L"Control\\Session Manager", L"NotOnTheLiveSystem", L"saved");
    SetDword(HKEY_USERS, set + L"Control\\Plain", L"Flag", 1);
    SetString(HKEY_USERS, set + L"Control\\Other", L"Setting", L"saved");
    const struct
    {
        const wchar_t* name;
        const wchar_t* startKey;
        DWORD savedStart;
        DWORD liveStart;
    } services[] = {
        {L"Earlier", L"", 3, 0},          // starts earlier now: taken from the live system
        {L"Later", L"", 0, 3},            // starts later now: the saved one stays
        {L"Same", L"", 2, 2},             // unchanged start: the saved one stays
        {L"Deep", L"\\Parameters", 3, 1}, // start found below the service's key
    };
    for (const auto& service : services)
    {
        SetString(HKEY_USERS, set + L"Services\\" + service.name, L"ImagePath", L"saved");
        SetDword(HKEY_USERS, set + L"Services\\" + service.name + service.startKey, L"Start", service.savedStart);
    }
    SetString(HKEY_USERS, set + L"Services\\NoStart\\Performance", L"Library", L"saved");
    SetString(HKEY_USERS, L"SYSTEM\\ControlSet001\\Enum\\Root\\LEGACY_A\\0000", L"Service", L"old set");
    SetValue(HKEY_USERS, L"SYSTEM\\MountedDevices", L"\\DosDevices\\C:", REG_BINARY, {1, 2, 3, 4});

    const String file = L"C\\WINDOWS\\system32\\config\\system";
    const HiveFileEntry entry = SaveLive(HKEY_USERS, L"SYSTEM", file);
    const RawTree saved = DumpHiveFile(Saved(file));
    ASSERT_FALSE(saved.empty());

    // What changed on the live system since the backup.
    SetString(HKEY_USERS, set + L"Enum\\Root\\LEGACY_A\\0000", L"Service", L"A, live");
    SetString(HKEY_USERS, set + L"Enum\\Root\\LEGACY_B\\0000", L"Service", L"B");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_USERS, (set + L"Control\\Gone").c_str()));
    SetMultiString(HKEY_USERS, set + L"Control\\Session Manager", L"PendingFileRenameOperations",
                   {L"\\??\\C:\\new.dll", L"!\\??\\C:\\WINDOWS\\system32\\old.dll"});
    {
        UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExW(HKEY_USERS, (set + L"Control\\Session Manager").c_str(), 0, KEY_SET_VALUE, key.put()));
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(key.get(), L"NotOnTheLiveSystem"));
    }
    SetDword(HKEY_USERS, set + L"Control\\Plain", L"Flag", 2);
    SetString(HKEY_USERS, set + L"Control\\Other", L"Setting", L"live");
    for (const auto& service : services)
    {
        SetString(HKEY_USERS, set + L"Services\\" + service.name, L"ImagePath", L"live");
        SetDword(HKEY_USERS, set + L"Services\\" + service.name + service.startKey, L"Start", service.liveStart);
    }
    SetString(HKEY_USERS, set + L"Services\\NoStart\\Performance", L"Library", L"live");
    // Installed after the backup.
    SetString(HKEY_USERS, set + L"Services\\Installed", L"ImagePath", L"live");
    SetDword(HKEY_USERS, set + L"Services\\Installed", L"Start", 2);
    SetString(HKEY_USERS, L"SYSTEM\\ControlSet001\\Enum\\Root\\LEGACY_A\\0000", L"Service", L"old set, live");
    SetValue(HKEY_USERS, L"SYSTEM\\MountedDevices", L"\\DosDevices\\C:", REG_BINARY, {9, 9});
    SetValue(HKEY_USERS, L"SYSTEM\\MountedDevices", L"\\DosDevices\\D:", REG_BINARY, {5});
    const RawTree live = DumpTree(HKEY_USERS, L"SYSTEM");

    // The live key stays for the merge to read, so the restore goes on to schedule it; Wine's
    // replace call does nothing, and what is checked here is the replacement file.
    RegistryService::RestoreHive(Reg(), entry);

    RawTree expected = saved;
    for (const wchar_t* path :
         {L"ControlSet002\\Enum", L"ControlSet002\\Control\\Gone", L"MountedDevices",
          L"ControlSet002\\Services\\Earlier", L"ControlSet002\\Services\\Deep", L"ControlSet002\\Services\\Installed"})
        TakeSubtree(expected, live, path);
    const String sessionManager = L"ControlSet002\\Control\\Session Manager";
    expected[sessionManager].values[L"PendingFileRenameOperations"] =
        live.at(sessionManager).values.at(L"PendingFileRenameOperations");
    expected[L"ControlSet002\\Control\\Plain"].values[L"Flag"] =
        live.at(L"ControlSet002\\Control\\Plain").values.at(L"Flag");
    const RawTree replacement = DumpHiveFile(Saved(file) + L".tmp");
    EXPECT_EQ(expected, replacement);
    // Spot checks of the rules, for a readable failure.
    EXPECT_EQ(0u, replacement.count(L"ControlSet002\\Control\\Gone"));
    EXPECT_EQ(1u, replacement.count(L"ControlSet002\\Services\\Installed"));
    EXPECT_EQ(ToBytes(L"saved"), replacement.at(L"ControlSet002\\Services\\Later").values.at(L"ImagePath").data);
    EXPECT_EQ(ToBytes(L"saved"),
              replacement.at(L"ControlSet002\\Services\\NoStart\\Performance").values.at(L"Library").data);
    EXPECT_EQ(ToBytes(L"saved"), replacement.at(sessionManager).values.at(L"NotOnTheLiveSystem").data);
    EXPECT_EQ(ToBytes(L"old set"),
              replacement.at(L"ControlSet001\\Enum\\Root\\LEGACY_A\\0000").values.at(L"Service").data);

    // The live hive was only read, and the saved hive is unloaded again.
    EXPECT_EQ(live, DumpTree(HKEY_USERS, L"SYSTEM"));
    EXPECT_EQ(saved, DumpHiveFile(Saved(file)));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_SYSTEM"));
}

TEST_F(HiveRestore, KeyWrapperFailuresEndTheRestoreAsTheComponentsException)
{
    // A SYSTEM hive on a system without System\Select, and a SOFTWARE hive without the
    // Reliability key: both fail inside the key wrapper.
    SetDword(HKEY_USERS, L"SYSTEM\\ControlSet001", L"v", 1);
    SetDword(HKEY_USERS, L"SOFTWARE\\Vendor", L"v", 1);
    const HiveFileEntry system = SaveLive(HKEY_USERS, L"SYSTEM", L"C\\WINDOWS\\system32\\config\\system");
    const HiveFileEntry software = SaveLive(HKEY_USERS, L"SOFTWARE", L"C\\WINDOWS\\system32\\config\\software");
    for (const HiveFileEntry& entry : {system, software})
    {
        ScratchDirectory target(L"hive-restore-wrapper");
        ASSERT_EQ(0u, Directories::Copy(Reg(), target / L"Reg"));
        {
            RegistryBackupSet manifest(target.Path());
            manifest.Open();
            manifest.AddFile(entry.GetFilePath(), entry.GetHiveFile(), entry.GetHivePath());
            ASSERT_TRUE(manifest.Save());
        }
        EXPECT_EQ(L"CRegistryKey::Exception thrown",
                  MessageOf<RegistryServiceException>([&] { RegistryService::Restore(target.Path()); }));
        const String temporary = entry.GetTemporaryName();
        EXPECT_FALSE(KeyExists(HKEY_USERS, temporary)) << Strings::ToUtf8(temporary) << " is still loaded";
        EXPECT_FALSE(IsFileOnDisk(target / L"Reg\\" + entry.GetFilePath() + L".tmp"));
    }
}

TEST_F(HiveRestore, AFilePathLeadingOutOfTheBackupIsRefusedBeforeAnythingIsTouched)
{
    // A loadable hive beside the Reg folder, with a file where its replacement would go.
    SetDword(HKEY_USERS, L"QmTestUser", L"v", 1);
    SaveLive(HKEY_USERS, L"QmTestUser", UserFile);
    const String outside = m_folder / L"outside\\NTUSER.DAT";
    RegistryService::SaveRegistrySubKey(HKEY_USERS, L"QmTestUser", outside);
    WriteTextFile(outside + L".tmp", "not the restore's");

    for (const String& filepath : {String(L"..\\outside\\NTUSER.DAT"), String(L"C\\..\\..\\outside\\NTUSER.DAT"),
                                   String(L"C\\. .\\...\\outside\\NTUSER.DAT"), String(L"C/../../outside/NTUSER.DAT"),
                                   outside})
    {
        const HiveFileEntry entry(filepath, L"\\Device\\HarddiskVolume1\\x", L"\\REGISTRY\\USER\\QmTestUser");
        EXPECT_EQ(L"Invalid hive file path: " + filepath,
                  MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(Reg(), entry); }));
        EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_QmTestUser")) << Strings::ToUtf8(filepath);
        EXPECT_EQ("not the restore's", ReadTextFile(outside + L".tmp")) << Strings::ToUtf8(filepath);
        EXPECT_FALSE(IsFileOnDisk(outside + L".bak"));
    }
}
