// The restore of several hives as one step: every hive is prepared before any is scheduled, a
// restore runs again after a failed or completed one, and the saved hives stay as the backup
// wrote them. User hives with names of this process only, so tests may run side by side.
//
// Wine's replace call does nothing, so "scheduled" shows through what the restore does to a hive
// right before asking for its replacement: an old-hive file ("<saved>.bak") that an earlier
// restore left is set aside there and removed once the call succeeded.

#include "registry/RegistryService.h"

#include "common/FileSystem.h"
#include "common/ScratchDirectory.h"
#include "registry/RegistryBackupSet.h"

#include "ScratchKey.h"

#include <fstream>
#include <iterator>

using namespace RegistryTest;

namespace
{
    // HKEY_LOCAL_MACHINE and HKEY_USERS as the messages print them.
    const int MachineNumber = -2147483646;
    const int UsersNumber = -2147483645;
    const char* const StaleOldHive = "old hive of an earlier restore";
    const String InUseTail = L" is in use: a restore scheduled earlier may be waiting for the restart.\nError = 0x";

    std::string FileBytes(const String& path)
    {
        std::ifstream file(Strings::ToUtf8(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    // Holds a file open for reading, as a program that verifies a backup would, without
    // letting it be deleted.
    class Reader
    {
    public:
        explicit Reader(const String& path)
            : m_handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr))
        {
        }
        bool IsOpen() const { return static_cast<bool>(m_handle); }

    private:
        UniqueFileHandle m_handle;
    };

    class RestoreAllOrNothing : public ::testing::Test
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
            for (const String& name : {m_first, m_second})
            {
                RemoveKey(HKEY_USERS, L"TMP_" + name);
                RemoveKey(HKEY_USERS, name);
            }
            RegUnLoadKeyW(HKEY_LOCAL_MACHINE, (L"TMP_" + m_machine).c_str());
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, (L"TMP_" + m_machine).c_str());
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_machine.c_str());
            // A backup for each case; saving refuses files that exist.
            Directories::Delete(m_folder / L"Reg");
            DeleteFileW((m_folder / L"RegistryBackupSet.xml").c_str());
        }

        String Saved(const String& filepath) const { return m_folder / L"Reg\\" + filepath; }

        // Saves the live key root\name into the backup as the backup would; its manifest entry.
        HiveFileEntry Save(HKEY root, const String& name, const String& filepath) const
        {
            RegistryService::SaveRegistrySubKey(root, name, Saved(filepath));
            const String prefix = root == HKEY_USERS ? L"\\REGISTRY\\USER\\" : L"\\REGISTRY\\MACHINE\\";
            return HiveFileEntry(filepath, L"\\Device\\HarddiskVolume1\\" + filepath.substr(2), prefix + name);
        }

        // A loaded user hive with a little content, saved into the backup.
        HiveFileEntry SaveUser(const String& name) const
        {
            SetValue(HKEY_USERS, name + L"\\Software\\Vendor", L"Setting", REG_DWORD, DwordBytes(7));
            SetValue(HKEY_USERS, name + L"\\Software\\Vendor", L"Blob", REG_BINARY, Pattern(3000));
            return Save(HKEY_USERS, name, L"C\\Documents and Settings\\" + name + L"\\NTUSER.DAT");
        }

        // The manifest, listing entries in this order.
        void WriteManifest(const std::vector<HiveFileEntry>& entries) const
        {
            RegistryBackupSet manifest(m_folder.Path());
            manifest.Open();
            // Each new entry goes in front.
            for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry)
                manifest.AddFile(entry->GetFilePath(), entry->GetHiveFile(), entry->GetHivePath());
            ASSERT_TRUE(manifest.Save());
            RegistryBackupSet check(m_folder.Path());
            check.Open();
            ASSERT_EQ(entries.size(), check.GetFiles().size());
            ASSERT_EQ(entries.front().GetHivePath(), check.GetFiles().front().GetHivePath());
        }

        // No working copy (nor its logs) and no set-aside old hive is left in the hives' folders.
        void ExpectNoLeftovers() const
        {
            WIN32_FIND_DATAW found;
            for (const wchar_t* pattern : {L"*.work*", L"*.bak.old"})
            {
                for (const String& folder : m_folders)
                {
                    UniqueFindHandle find(FindFirstFileW((folder + L"\\" + pattern).c_str(), &found));
                    EXPECT_FALSE(find) << "left in " << Strings::ToUtf8(folder) << ": "
                                       << Strings::ToUtf8(found.cFileName);
                }
            }
        }

        String Unique(const wchar_t* stem) const { return Strings::Format(L"%s%lu", stem, GetCurrentProcessId()); }

        ScratchDirectory m_folder{L"restore-all-or-nothing"};
        const String m_first = Unique(L"QmAonFirst");
        const String m_second = Unique(L"QmAonSecond");
        const String m_machine = Unique(L"QmAonNoHive");
        StringList m_folders;
    };
}

TEST_F(RestoreAllOrNothing, AFailureBeforeTheFirstReplacementSchedulesNothing)
{
    enum class Failure { SavedHiveMissing, SavedHiveDamaged, MachineHiveNotLoaded };
    const struct
    {
        const char* what;
        Failure failure;
    } cases[] = {
        {"the second hive's saved file is missing", Failure::SavedHiveMissing},
        {"the second hive's saved file is no hive", Failure::SavedHiveDamaged},
        // Listed first: every hive is still prepared before any live hive is looked for.
        {"a machine hive that is not loaded", Failure::MachineHiveNotLoaded},
    };
    for (const auto& test : cases)
    {
        SCOPED_TRACE(test.what);
        Clean();
        const HiveFileEntry first = SaveUser(m_first);
        const String firstSaved = Saved(first.GetFilePath());
        WriteTextFile(firstSaved + L".bak", StaleOldHive);
        const std::string firstBytes = FileBytes(firstSaved);

        std::vector<HiveFileEntry> entries;
        String expected;
        if (test.failure == Failure::MachineHiveNotLoaded)
        {
            SetValue(HKEY_LOCAL_MACHINE, m_machine, L"v", REG_DWORD, DwordBytes(1));
            const HiveFileEntry machine = Save(HKEY_LOCAL_MACHINE, m_machine, L"C\\WINDOWS\\system32\\config\\" + m_machine);
            ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_machine.c_str()));
            entries = {machine, first};
            expected = Strings::Format(L"RegOpenKeyEx(%d, %s) failed: 2", MachineNumber, m_machine.c_str());
        }
        else
        {
            const HiveFileEntry second = SaveUser(m_second);
            const String secondSaved = Saved(second.GetFilePath());
            if (test.failure == Failure::SavedHiveMissing)
            {
                ASSERT_TRUE(DeleteFileW(secondSaved.c_str()));
                expected = L"CopyFile(" + secondSaved + L", " + secondSaved + L".work) failed.";
            }
            else
            {
                WriteTextFile(secondSaved, "not a hive");
                expected = Strings::Format(L"RegLoadKey(%d, TMP_%s, %s.work) failed: ", UsersNumber, m_second.c_str(),
                                           secondSaved.c_str());
            }
            entries = {first, second};
        }
        WriteManifest(entries);
        m_folders = {Directories::GetDirectory(firstSaved, true),
                     Directories::GetDirectory(Saved(entries.front().GetFilePath()), true)};

        const String message = MessageOf<RegistryServiceException>([&] { RegistryService::Restore(m_folder.Path()); });
        EXPECT_EQ(expected, message.substr(0, expected.size())) << Strings::ToUtf8(message);

        // The first hive was prepared, and its replacement was never asked for.
        EXPECT_TRUE(IsFileOnDisk(firstSaved + L".tmp"));
        EXPECT_EQ(StaleOldHive, ReadTextFile(firstSaved + L".bak"));
        EXPECT_EQ(firstBytes, FileBytes(firstSaved));
        EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_first));
        ExpectNoLeftovers();
    }
}

TEST_F(RestoreAllOrNothing, ARestoreRunsAgainAndNeverChangesTheSavedHives)
{
    const HiveFileEntry first = SaveUser(m_first);
    const HiveFileEntry second = SaveUser(m_second);
    WriteManifest({first, second});
    const String firstSaved = Saved(first.GetFilePath());
    const String secondSaved = Saved(second.GetFilePath());
    m_folders = {Directories::GetDirectory(firstSaved, true), Directories::GetDirectory(secondSaved, true)};
    const std::string firstBytes = FileBytes(firstSaved);
    const std::string secondBytes = FileBytes(secondSaved);
    const RawTree firstTree = DumpTree(HKEY_USERS, m_first);

    // The saved hive is read-only, as on a copy from removable media.
    ASSERT_TRUE(SetFileAttributesW(secondSaved.c_str(), FILE_ATTRIBUTE_READONLY));
    // A program that reads the backup meanwhile: the platform cannot load a file another handle
    // has open, and loading the saved file itself would write into the backup on Windows.
    {
        const Reader reader(firstSaved);
        ASSERT_TRUE(reader.IsOpen());
        EXPECT_NO_THROW(RegistryService::Restore(m_folder.Path()));
    }
    EXPECT_TRUE(IsFileOnDisk(firstSaved + L".tmp"));
    EXPECT_TRUE(IsFileOnDisk(secondSaved + L".tmp"));
    ExpectNoLeftovers();

    // Again, after a completed restore whose old hives the machine has released since.
    WriteTextFile(firstSaved + L".bak", StaleOldHive);
    EXPECT_NO_THROW(RegistryService::Restore(m_folder.Path()));
    EXPECT_TRUE(!IsFileOnDisk(firstSaved + L".bak") || ReadTextFile(firstSaved + L".bak") != StaleOldHive)
        << "the earlier restore's old hive is in the way of the new replacement";
    ExpectNoLeftovers();

    EXPECT_EQ(firstBytes, FileBytes(firstSaved));
    EXPECT_EQ(secondBytes, FileBytes(secondSaved));
    EXPECT_EQ(firstTree, DumpTree(HKEY_USERS, m_first)) << "the live hive was written";
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_first));
    EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_second));
    SetFileAttributesW(secondSaved.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(RestoreAllOrNothing, AReplacementOrOldHiveThatIsStillHeldIsReportedBeforeAnythingIsLoaded)
{
    for (const wchar_t* suffix : {L".tmp", L".bak"})
    {
        SCOPED_TRACE(Strings::ToUtf8(suffix));
        Clean();
        const HiveFileEntry first = SaveUser(m_first);
        const HiveFileEntry second = SaveUser(m_second);
        WriteManifest({first, second});
        const String held = Saved(second.GetFilePath()) + suffix;
        WriteTextFile(held, "held by the platform");
        m_folders = {Directories::GetDirectory(held, true)};

        {
            const Reader platform(held);
            ASSERT_TRUE(platform.IsOpen());
            const String message = MessageOf<RegistryServiceException>([&] { RegistryService::Restore(m_folder.Path()); });
            EXPECT_EQ(held + InUseTail, message.substr(0, held.size() + InUseTail.size())) << Strings::ToUtf8(message);
        }
        EXPECT_EQ("held by the platform", ReadTextFile(held));
        EXPECT_FALSE(KeyExists(HKEY_USERS, L"TMP_" + m_second));
        if (String(suffix) == L".bak")
        {
            EXPECT_FALSE(IsFileOnDisk(Saved(second.GetFilePath()) + L".tmp")) << "prepared despite the held old hive";
        }
        ExpectNoLeftovers();
        DeleteFileW(held.c_str());
    }
}
