// A backup empties its target first, so it takes only a target that holds nothing or an earlier
// backup; the emptying itself is checked.

#include "module/Components.h"

#include "common/ErrorText.h"
#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/Handles.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
    // A machine without roles; the backups below enable no component unless a test says so.
    class NoRoles final : public ComponentPlatform
    {
    public:
        bool IsDomainController() override { return false; }
        bool IsClusterNode() override { return false; }
        bool IsCertificateServicesInstalled(const String&) override { return false; }
        bool QueryRestoreMode(bool& mode) override
        {
            mode = false;
            return true;
        }
    };

    String WindowsDirectory()
    {
        wchar_t path[MAX_PATH + 1] = {};
        const UINT length = GetSystemWindowsDirectoryW(path, MAX_PATH + 1);
        return String(path, length);
    }

    String Invalid(const String& directory) { return L"Invalid backup directory: " + directory; }

    int EntriesIn(const String& directory)
    {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((Paths::ToLongPath(directory) + L"\\*").c_str(), &entry));
        if (!search)
            return -1;
        int entries = 0;
        do
            entries += Directories::IsDotEntry(entry.cFileName) ? 0 : 1;
        while (FindNextFileW(search.get(), &entry));
        return entries;
    }

    class BackupTarget : public ::testing::Test
    {
    protected:
        String Backup(const String& directory)
        {
            ComponentJob job;
            job.directory = directory;
            return Components::Backup(Components::All(), options, job, machine);
        }

        ScratchDirectory scratch;
        _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS options = {};
        NoRoles machine;
    };
}

TEST_F(BackupTarget, AFolderHoldingSomethingElseIsRefusedAndKeptWhole)
{
    struct Case
    {
        const wchar_t* folder;
        std::function<void(const String&)> fill;
    };
    const Case cases[] = {
        {L"notes", [](const String& d) { WriteTextFile(d + L"\\notes.txt", "mine"); }},
        {L"folder-only", [](const String& d) { WriteTextFile(d + L"\\Reg\\C\\software", "hive"); }},
        // A manifest further down is not ours to recognise.
        {L"manifest-below", [](const String& d) { WriteTextFile(d + L"\\old\\RegistryBackupSet.xml", "<BackupSet/>"); }},
        // Nor is a folder of that name.
        {L"manifest-folder", [](const String& d) { WriteTextFile(d + L"\\RegistryBackupSet.xml\\x", "x"); }},
    };
    for (const Case& testCase : cases)
    {
        const String target = scratch / testCase.folder;
        testCase.fill(target);
        EXPECT_EQ(Invalid(target), MessageOf<FileSystemException>([&] { Backup(target); })) << testCase.folder;
        EXPECT_EQ(1, EntriesIn(target)) << testCase.folder;
    }
    EXPECT_EQ("mine", ReadTextFile(scratch / L"notes\\notes.txt"));
    EXPECT_EQ("hive", ReadTextFile(scratch / L"folder-only\\Reg\\C\\software"));
}

TEST_F(BackupTarget, RootsAndTheWindowsDirectoryAreRefusedWhateverTheyHold)
{
    const String windows = WindowsDirectory();
    ASSERT_FALSE(windows.empty());
    const String refused[] = {L"C:\\", L"C:", L"\\\\LABHOST\\C$", L"\\\\LABHOST\\C$\\", windows, windows + L"\\",
                              Strings::ToUpper(windows), L"\\\\?\\" + windows};
    for (const String& directory : refused)
        EXPECT_EQ(Invalid(directory),
                  MessageOf<FileSystemException>([&] { Components::CheckBackupTarget(Components::All(), directory); }))
            << Strings::ToUtf8(directory);

    // Even with one of our manifests in it, the Windows directory is no backup target.
    const String planted = windows + L"\\RegistryBackupSet.xml";
    WriteTextFile(planted, "<BackupSet/>");
    EXPECT_EQ(Invalid(windows),
              MessageOf<FileSystemException>([&] { Components::CheckBackupTarget(Components::All(), windows); }));
    EXPECT_TRUE(DeleteFileW(planted.c_str()));
}

TEST_F(BackupTarget, AnEmptyFolderOrAnEarlierBackupIsEmptiedAndReused)
{
    const struct
    {
        const wchar_t* folder;
        const wchar_t* mark;
    } cases[] = {
        {L"registry", L"RegistryBackupSet.xml"},
        {L"bootfiles", L"CoreBootSystemFilesBackupSet.xml"},
        {L"directory", L"ActiveDirectoryBackupSet.xml"},
        {L"certsrv", L"CertificateServicesBackupSet.xml"},
        {L"sysvol", L"SystemVolumeBackupSet.xml"},
        {L"complus", L"comDB.reg"},
        {L"any-case", L"registrybackupset.XML"},
    };
    for (const auto& testCase : cases)
    {
        const String target = scratch / testCase.folder;
        WriteTextFile(target + L"\\" + testCase.mark, "earlier");
        WriteTextFile(target + L"\\Reg\\C\\WINDOWS\\system32\\config\\software", "hive");
        WriteTextFile(target + L"\\stale.txt", "stale");
        SetFileAttributesW(Paths::ToLongPath(target + L"\\stale.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(L"", Backup(target)) << testCase.folder;
        EXPECT_EQ(0, EntriesIn(target)) << testCase.folder;
    }

    const String empty = scratch / L"empty";
    ASSERT_TRUE(Directories::Create(empty));
    EXPECT_EQ(L"", Backup(empty));
    EXPECT_EQ(0, EntriesIn(empty));
}

TEST_F(BackupTarget, AnEarlierBackupThatCannotBeEmptiedFailsTheBackupNamingTheEntry)
{
    const String target = scratch / L"held";
    WriteTextFile(target + L"\\Reg\\C\\software", "hive");
    WriteTextFile(target + L"\\RegistryBackupSet.xml", "<BackupSet type=\"registry\"/>");
    const String held = target + L"\\RegistryBackupSet.xml";
    UniqueFileHandle open(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(open);

    // A component asked for must not run into a half-emptied target.
    options.m_bRegistryService = VARIANT_TRUE;
    const String failure = Backup(target);
    const String expectedStart = L"Could not delete directory: " + target + L"\nCould not delete ";
    ASSERT_EQ(expectedStart, failure.substr(0, expectedStart.size()));
    EXPECT_EQ(held + L": " + ErrorText::Format(ERROR_SHARING_VIOLATION), failure.substr(expectedStart.size()));
    EXPECT_EQ("<BackupSet type=\"registry\"/>", ReadTextFile(held));
}
