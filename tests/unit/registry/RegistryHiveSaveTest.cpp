#include "registry/RegistryService.h"

#include "common/ErrorText.h"
#include "common/FileSystem.h"
#include "common/ScratchDirectory.h"

#include "HiveTestSupport.h"

using namespace RegistryTest;
using namespace HiveTest;

TEST(SplitHiveFile, SeparatesTheDeviceFromThePathOnIt)
{
    String device = L"(untouched)";
    String path = L"(untouched)";
    ASSERT_TRUE(
        RegistryService::SplitHiveFile(L"\\Device\\HarddiskVolume2\\WINDOWS\\system32\\config\\SYSTEM", device, path));
    EXPECT_EQ(L"\\Device\\HarddiskVolume2", device);
    EXPECT_EQ(L"WINDOWS\\system32\\config\\SYSTEM", path);

    ASSERT_TRUE(RegistryService::SplitHiveFile(
        L"\\Device\\HarddiskVolume1\\Documents and Settings\\LocalService\\NTUSER.DAT", device, path));
    EXPECT_EQ(L"\\Device\\HarddiskVolume1", device);
    EXPECT_EQ(L"Documents and Settings\\LocalService\\NTUSER.DAT", path);

    // A dynamic volume keeps its disk group and volume.
    ASSERT_TRUE(RegistryService::SplitHiveFile(
        L"\\Device\\HarddiskDmVolumes\\DiskGroup1Dg0\\Volume1\\WINDOWS\\system32\\config\\SAM", device, path));
    EXPECT_EQ(L"\\Device\\HarddiskDmVolumes\\DiskGroup1Dg0\\Volume1", device);
    EXPECT_EQ(L"WINDOWS\\system32\\config\\SAM", path);
}

TEST(SplitHiveFile, HivesWithoutAFileAndTheBootStoreAreNotSaved)
{
    String device = L"(untouched)";
    String path = L"(untouched)";
    EXPECT_FALSE(RegistryService::SplitHiveFile(L"", device, path));
    EXPECT_FALSE(RegistryService::SplitHiveFile(L"\\Device\\HarddiskVolume1\\Boot\\BCD", device, path));
    EXPECT_FALSE(RegistryService::SplitHiveFile(L"C:\\WINDOWS\\system32\\config\\software", device, path));
    EXPECT_EQ(L"(untouched)", device);
    EXPECT_EQ(L"(untouched)", path);
}

TEST(SplitHiveFile, ADevicePathWithoutItsClosingBackslashIsInvalid)
{
    String device;
    String path;
    const wchar_t* const expected = L"Invalid registry value found in: System\\CurrentControlSet\\Control\\hivelist";
    EXPECT_EQ(expected, MessageOf<RegistryServiceException>(
                            [&] { RegistryService::SplitHiveFile(L"\\Device\\HarddiskVolume1", device, path); }));
    // Five backslashes are what a dynamic volume's path needs before its file path.
    EXPECT_EQ(expected, MessageOf<RegistryServiceException>(
                            [&] {
                                RegistryService::SplitHiveFile(L"\\Device\\HarddiskDmVolumes\\DiskGroup1Dg0\\Volume1",
                                                               device, path);
                            }));
    // The path on the device is appended to the backup folder, so none that would lead out of
    // it (or name no file) is taken.
    for (const wchar_t* hostile : {L"\\Device\\HarddiskVolume1\\",
                                   L"\\Device\\HarddiskVolume1\\..\\..\\outside\\hive",
                                   L"\\Device\\HarddiskVolume1\\WINDOWS\\..\\..\\..\\hive",
                                   L"\\Device\\HarddiskVolume1\\WINDOWS\\. .\\...\\hive",
                                   L"\\Device\\HarddiskVolume1\\WINDOWS/../../hive",
                                   L"\\Device\\HarddiskVolume1\\\\server\\share\\hive",
                                   L"\\Device\\HarddiskVolume1\\D:\\hive",
                                   L"\\Device\\HarddiskVolume1\\config\\SAM:stream",
                                   L"\\Device\\HarddiskVolume1\\config\\SAM\\"})
    {
        EXPECT_EQ(expected, MessageOf<RegistryServiceException>(
                                [&] { RegistryService::SplitHiveFile(hostile, device, path); }))
            << Strings::ToUtf8(hostile);
    }
    // Dots inside a name are no way out.
    ASSERT_TRUE(RegistryService::SplitHiveFile(L"\\Device\\HarddiskVolume1\\Users\\..a.\\NTUSER.DAT", device, path));
    EXPECT_EQ(L"Users\\..a.\\NTUSER.DAT", path);
}

namespace
{
    class SaveRegistrySubKey : public ScratchKey
    {
    protected:
        void SetUp() override
        {
            ScratchKey::SetUp();
            if (!EnableHivePrivileges())
                GTEST_SKIP() << "the backup and restore privileges cannot be enabled";
        }

        ScratchDirectory m_folder{L"hive-save"};
    };
}

TEST_F(SaveRegistrySubKey, SavesTheWholeTreeIntoAFileInANewFolder)
{
    SetRaw(L"Hive", L"", REG_SZ, ToBytes(L"default"));
    SetRaw(L"Hive", L"multi", REG_MULTI_SZ, ToBytes(String(L"one\0two\0", 8)));
    SetRaw(L"Hive", L"big", REG_BINARY, Pattern(70000));
    SetDword(L"Hive\\Services\\Spooler", L"Start", 2);
    SetRaw(L"Hive\\Services\\Spooler\\Parameters", L"path", REG_EXPAND_SZ, ToBytes(L"%SystemRoot%\\x"));
    CreateKey(L"Hive\\Empty");
    const String file = m_folder / L"Reg\\C\\Documents and Settings\\Admin\\NTUSER.DAT";

    EXPECT_EQ(0, RegistryService::SaveRegistrySubKey(HKEY_CURRENT_USER, Path(L"Hive"), file));

    EXPECT_EQ(Dump(L"Hive"), DumpHiveFile(file));
}

TEST_F(SaveRegistrySubKey, AFolderThatCannotBeCreatedIsReported)
{
    SetDword(L"Hive", L"v", 1);
    WriteTextFile(m_folder / L"blocker", "a file where a folder should go");
    const String file = m_folder / L"blocker\\config\\SAM";
    ExpectFailureMessage(L"Directories::Create(Directories::GetDirectory(" + file + L") failed.",
                         MessageOf<RegistryServiceException>(
                             [&] { RegistryService::SaveRegistrySubKey(HKEY_CURRENT_USER, Path(L"Hive"), file); }));
    EXPECT_FALSE(IsFileOnDisk(file));
}

TEST_F(SaveRegistrySubKey, AKeyThatCannotBeOpenedIsReportedWithRootSubkeyAndCode)
{
    // An entry of the hive list with neither known prefix has no root key.
    const String file = m_folder / L"Reg\\C\\nowhere";
    ExpectFailureMessage(
        L"RegCreateKeyEx(0, SOMETHING) failed: 6.",
        MessageOf<RegistryServiceException>([&] { RegistryService::SaveRegistrySubKey(nullptr, L"SOMETHING", file); }));
    EXPECT_FALSE(IsFileOnDisk(file));
}

TEST_F(SaveRegistrySubKey, AnExistingFileIsReportedAndKeptAsItWas)
{
    SetDword(L"Hive", L"v", 1);
    const String file = m_folder / L"Reg\\C\\WINDOWS\\system32\\config\\SAM";
    RegistryService::SaveRegistrySubKey(HKEY_CURRENT_USER, Path(L"Hive"), file);
    const RawTree first = DumpHiveFile(file);
    ASSERT_FALSE(first.empty());
    // A second backup into the same folder, after the key changed.
    SetDword(L"Hive", L"v", 2);

    const String message = MessageOf<RegistryServiceException>(
        [&] { RegistryService::SaveRegistrySubKey(HKEY_CURRENT_USER, Path(L"Hive"), file); });
    // "RegSaveKey(<handle>, <file>) failed: 183.\n<error text>"
    const String tail = L", " + file + L") failed: 183.\n" + ErrorText::Format(ERROR_ALREADY_EXISTS);
    ASSERT_GT(message.size(), tail.size()) << Strings::ToUtf8(message);
    EXPECT_EQ(tail, message.substr(message.size() - tail.size()));
    EXPECT_EQ(L"RegSaveKey(", message.substr(0, 11));
    const String handle = message.substr(11, message.size() - tail.size() - 11);
    EXPECT_FALSE(handle.empty());
    EXPECT_EQ(String::npos, handle.find_first_not_of(L"-0123456789")) << Strings::ToUtf8(handle);

    EXPECT_EQ(first, DumpHiveFile(file));
}
