// The restore of saved hives, driven with hives loaded below HKEY_USERS. The rules depend on the
// hive's name, so HKEY_USERS\SYSTEM stands in for the machine's hive; one test alone uses it, so
// the tests can run side by side.

#include "registry/RegistryService.h"

#include "common/FileSystem.h"
#include "common/Handles.h"
#include "registry/RegistryBackupSet.h"

#include "ScratchKey.h"

using namespace RegistryTest;

namespace
{
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

        // Removes the live key and any saved hive left loaded beside it.
        void Use(HKEY root, const String& name)
        {
            m_keys.emplace_back(root, name);
            Clean();
        }
        void Clean()
        {
            for (const auto& key : m_keys)
            {
                RegUnLoadKeyW(key.first, (L"TMP_" + key.second).c_str());
                RemoveKey(key.first, key.second);
            }
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

        ScratchDirectory m_folder;
        std::vector<std::pair<HKEY, String>> m_keys;
    };
}

// The lab's restore test covers the kinds of entries on a machine whose live control set is the
// first; here the live system selects its second one, and a service's start lies below its key.
TEST_F(HiveRestore, SystemTakesListedKeysThroughTheControlSetTheLiveSystemSelects)
{
    Use(HKEY_USERS, L"SYSTEM");
    SetValue(HKEY_USERS, L"SYSTEM\\Select", L"Default", REG_DWORD, DwordBytes(2));
    const String list = L"SYSTEM\\CurrentControlSet\\Control\\BackupRestore\\KeysNotToRestore";
    SetValue(HKEY_USERS, list, L"Plug & Play", REG_MULTI_SZ, ToBytes(String(L"CurrentControlSet\\Enum\\") + L'\0'));
    SetValue(HKEY_USERS, list, L"Services", REG_MULTI_SZ, ToBytes(String(L"CurrentControlSet\\Services\\*") + L'\0'));
    const String set1 = L"SYSTEM\\ControlSet001\\";
    const String set2 = L"SYSTEM\\ControlSet002\\";
    // Saved, then live: start below the service's key, earlier now (taken) or later (kept).
    const auto state = [&](const wchar_t* text, DWORD deepStart, DWORD laterStart) {
        for (const String& set : {set1, set2})
            SetValue(HKEY_USERS, set + L"Enum\\Root\\A", L"Service", REG_SZ, ToBytes(set + text));
        SetValue(HKEY_USERS, set2 + L"Services\\Deep", L"ImagePath", REG_SZ, ToBytes(text));
        SetValue(HKEY_USERS, set2 + L"Services\\Deep\\Parameters", L"Start", REG_DWORD, DwordBytes(deepStart));
        SetValue(HKEY_USERS, set2 + L"Services\\Later", L"ImagePath", REG_SZ, ToBytes(text));
        SetValue(HKEY_USERS, set2 + L"Services\\Later", L"Start", REG_DWORD, DwordBytes(laterStart));
    };
    state(L"saved", 3, 0);
    const String file = L"C\\WINDOWS\\system32\\config\\system";
    const HiveFileEntry entry = SaveLive(HKEY_USERS, L"SYSTEM", file);
    state(L"live", 1, 3);
    const RawTree live = DumpTree(HKEY_USERS, L"SYSTEM");

    RegistryService::RestoreHive(Reg(), entry);

    // Values (gtest reports a missing one as the exception thrown by at()).
    const RawTree replacement = DumpHiveFile(Saved(file) + L".tmp");
    const auto value = [&](const wchar_t* key, const wchar_t* name) { return replacement.at(key).values.at(name).data; };
    EXPECT_EQ(ToBytes(set2 + L"live"), value(L"ControlSet002\\Enum\\Root\\A", L"Service"));
    EXPECT_EQ(ToBytes(set1 + L"saved"), value(L"ControlSet001\\Enum\\Root\\A", L"Service"));
    EXPECT_EQ(ToBytes(L"live"), value(L"ControlSet002\\Services\\Deep", L"ImagePath"));
    EXPECT_EQ(ToBytes(L"saved"), value(L"ControlSet002\\Services\\Later", L"ImagePath"));
    // The live hive was only read, and the saved hive is unloaded again.
    EXPECT_EQ(live, DumpTree(HKEY_USERS, L"SYSTEM"));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_SYSTEM"));
}

TEST_F(HiveRestore, RefusalsAndFailuresLeaveNoSavedHiveLoaded)
{
    const String user = UniqueName(L"QmTestUser");
    Use(HKEY_USERS, user);
    SetValue(HKEY_USERS, user, L"v", REG_DWORD, DwordBytes(1));
    const String userFile = L"C\\Documents and Settings\\QmTest\\NTUSER.DAT";
    const HiveFileEntry entry = SaveLive(HKEY_USERS, user, userFile);
    const auto nothingLoaded = [&] { return !KeyExists(HKEY_USERS, L"TMP_" + user); };

    // A manifest entry whose file path leads out of the backup: refused before anything is touched.
    const String outside = m_folder / L"outside\\NTUSER.DAT";
    RegistryService::SaveRegistrySubKey(HKEY_USERS, user, outside);
    WriteTextFile(outside + L".tmp", "not the restore's");
    for (const String& filepath : {String(L"C\\..\\..\\outside\\NTUSER.DAT"), outside})
    {
        const HiveFileEntry hostile(filepath, entry.GetHiveFile(), entry.GetHivePath());
        EXPECT_EQ(L"Invalid hive file path: " + filepath,
                  MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(Reg(), hostile); }));
        EXPECT_TRUE(nothingLoaded()) << Strings::ToUtf8(filepath);
    }
    EXPECT_EQ("not the restore's", ReadTextFile(outside + L".tmp"));

    // A stale replacement that cannot be deleted.
    const String replacement = Saved(userFile) + L".tmp";
    WriteTextFile(replacement, "stale");
    ASSERT_TRUE(SetFileAttributesW(replacement.c_str(), FILE_ATTRIBUTE_READONLY));
    ExpectFailureMessage(L"DeleteFile(" + replacement + L") failed.",
                         MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(Reg(), entry); }));
    SetFileAttributesW(replacement.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ("stale", ReadTextFile(replacement));
    EXPECT_TRUE(nothingLoaded());

    // A machine hive that is not loaded has nothing to be replaced: unlike a user's, an error.
    const String machine = UniqueName(L"QmTestNoHive");
    Use(HKEY_LOCAL_MACHINE, machine);
    SetValue(HKEY_LOCAL_MACHINE, machine, L"v", REG_DWORD, DwordBytes(1));
    const String machineFile = L"C\\WINDOWS\\system32\\config\\QMTEST";
    const HiveFileEntry machineEntry = SaveLive(HKEY_LOCAL_MACHINE, machine, machineFile);
    RemoveKey(HKEY_LOCAL_MACHINE, machine);
    ExpectFailureMessage(Strings::Format(L"RegOpenKeyEx(-2147483646, %s) failed: 2", machine.c_str()),
                         MessageOf<RegistryServiceException>([&] { RegistryService::RestoreHive(Reg(), machineEntry); }));
    // Everything before the replacement was done.
    EXPECT_EQ(DumpHiveFile(Saved(machineFile)), DumpHiveFile(Saved(machineFile) + L".tmp"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"TMP_" + machine));
}
