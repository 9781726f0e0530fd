#include "registry/RegistryService.h"

#include "common/ErrorText.h"

#include "ScratchKey.h"

using namespace RegistryTest;

TEST(SplitHiveFile, SeparatesTheDeviceFromAPathThatStaysInsideTheBackup)
{
    const struct
    {
        const wchar_t* device;
        const wchar_t* path;
    } split[] = {{L"\\Device\\HarddiskVolume2", L"WINDOWS\\system32\\config\\SYSTEM"},
                 // A dynamic volume keeps its disk group and volume; dots inside a name are no way out.
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

TEST(SaveRegistrySubKey, FailuresAreReportedAndAHiveFileSavedBeforeIsKept)
{
    if (!EnableHivePrivileges())
        GTEST_SKIP() << "the backup and restore privileges cannot be enabled";
    ScratchDirectory folder;
    const String key = L"Software\\QmTest\\" + UniqueName(L"HiveSave");
    SetValue(HKEY_CURRENT_USER, key, L"v", REG_DWORD, DwordBytes(1));

    WriteTextFile(folder / L"blocker", "a file where a folder should go");
    const String blocked = folder / L"blocker\\config\\SAM";
    ExpectFailureMessage(L"Directories::Create(Directories::GetDirectory(" + blocked + L") failed.",
                         MessageOf<RegistryServiceException>(
                             [&] { RegistryService::SaveRegistrySubKey(HKEY_CURRENT_USER, key, blocked); }));
    // An entry of the hive list with neither known prefix has no root key.
    const String nowhere = folder / L"Reg\\C\\nowhere";
    ExpectFailureMessage(
        L"RegCreateKeyEx(0, SOMETHING) failed: 6.",
        MessageOf<RegistryServiceException>([&] { RegistryService::SaveRegistrySubKey(nullptr, L"SOMETHING", nowhere); }));
    EXPECT_FALSE(IsFileOnDisk(blocked));
    EXPECT_FALSE(IsFileOnDisk(nowhere));

    // A second backup into the same folder, after the key changed, must not replace the first.
    const String file = folder / L"Reg\\C\\WINDOWS\\system32\\config\\SAM";
    EXPECT_EQ(0, RegistryService::SaveRegistrySubKey(HKEY_CURRENT_USER, key, file));
    const RawTree first = DumpHiveFile(file);
    ASSERT_EQ(DumpTree(HKEY_CURRENT_USER, key), first);
    SetValue(HKEY_CURRENT_USER, key, L"v", REG_DWORD, DwordBytes(2));
    const String message = MessageOf<RegistryServiceException>(
        [&] { RegistryService::SaveRegistrySubKey(HKEY_CURRENT_USER, key, file); });
    // "RegSaveKey(<handle>, <file>) failed: 183.\n<error text>"
    const String tail = L", " + file + L") failed: 183.\n" + ErrorText::Format(ERROR_ALREADY_EXISTS);
    ASSERT_GT(message.size(), tail.size()) << Strings::ToUtf8(message);
    EXPECT_EQ(tail, message.substr(message.size() - tail.size()));
    EXPECT_EQ(L"RegSaveKey(", message.substr(0, 11));
    EXPECT_EQ(first, DumpHiveFile(file));
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
}
