// A backup empties its target first, so it takes only a target that holds nothing or an earlier
// backup; the emptying itself is checked. Refusing the Windows directory before anything in it
// is deleted is shown in a lab machine (tests/lab/backup_target.sh), where a failure harms nothing.

#include "module/Components.h"

#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/Handles.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

namespace
{
    class NoRoles final : public ComponentPlatform
    {
    public:
        bool IsDomainController() override { return false; }
        bool IsClusterNode() override { return false; }
        bool IsCertificateServicesInstalled(const String&) override { return false; }
        bool QueryRestoreMode(bool&) override { return false; }   // never asked on backup
    };

    String Invalid(const String& directory) { return L"Invalid backup directory: " + directory; }

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

TEST_F(BackupTarget, RootsTheWindowsDirectoryAndForeignFoldersAreRefusedAndKeptWhole)
{
    wchar_t path[MAX_PATH + 1] = {};
    const String windows(path, GetSystemWindowsDirectoryW(path, MAX_PATH + 1));
    ASSERT_FALSE(windows.empty());
    // Even with one of our manifests in it, a root or the Windows directory is no backup target.
    const String planted[] = {L"C:\\RegistryBackupSet.xml", windows + L"\\RegistryBackupSet.xml"};
    for (const String& manifest : planted)
        WriteTextFile(manifest, "<BackupSet/>");
    for (const String& directory : {String(L"C:\\"), String(L"C:"), String(L"\\\\LABHOST\\C$"), String(L"\\\\LABHOST\\C$\\"),
                                    windows, windows + L"\\", Strings::ToUpper(windows), L"\\\\?\\" + windows,
                                    // A stream of a file, not a folder.
                                    scratch / L"bk:stream", L"\\\\?\\" + scratch / L"bk:stream"})
        EXPECT_EQ(Invalid(directory),
                  MessageOf<FileSystemException>([&] { Components::CheckBackupTarget(Components::All(), directory); }))
            << Strings::ToUtf8(directory);
    for (const String& manifest : planted)
        EXPECT_TRUE(DeleteFileW(manifest.c_str()));

    const struct
    {
        const wchar_t* file;
        const char* content;
    } foreign[] = {
        {L"notes.txt", "mine"},
        {L"Reg\\C\\software", "hive"},
        // A manifest further down, or a folder of that name, is not ours to recognise.
        {L"old\\RegistryBackupSet.xml", "<BackupSet/>"},
        {L"RegistryBackupSet.xml\\x", "x"},
    };
    for (const auto& test : foreign)
    {
        const String target = scratch / (L"foreign" + std::to_wstring(&test - foreign));
        WriteTextFile(target + L"\\" + test.file, test.content);
        EXPECT_EQ(Invalid(target), MessageOf<FileSystemException>([&] { Backup(target); })) << test.content;
        EXPECT_EQ(test.content, ReadTextFile(target + L"\\" + test.file));
    }
}

TEST_F(BackupTarget, AnEmptyFolderOrAnEarlierBackupIsEmptiedAndOneThatCannotBeFailsNamingTheEntry)
{
    for (const wchar_t* mark : {L"", L"RegistryBackupSet.xml", L"comDB.reg", L"registrybackupset.XML"})
    {
        const String target = scratch / (String(L"earlier") + mark);
        ASSERT_TRUE(Directories::Create(target));
        if (*mark != L'\0')
        {
            WriteTextFile(target + L"\\" + mark, "earlier");
            WriteTextFile(target + L"\\Reg\\C\\WINDOWS\\system32\\config\\software", "hive");
            WriteTextFile(target + L"\\stale.txt", "stale");
            SetFileAttributesW(Paths::ToLongPath(target + L"\\stale.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        }
        EXPECT_EQ(L"", Backup(target)) << mark;
        // Only an empty folder can be removed.
        EXPECT_TRUE(RemoveDirectoryW(Paths::ToLongPath(target).c_str())) << mark;
    }

    const String target = scratch / L"held";
    const String held = target + L"\\RegistryBackupSet.xml";
    WriteTextFile(target + L"\\Reg\\C\\software", "hive");
    WriteTextFile(held, "<BackupSet type=\"registry\"/>");
    UniqueFileHandle open(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(open);
    // A component asked for must not run into a half-emptied target.
    options.m_bRegistryService = VARIANT_TRUE;
    EXPECT_EQ(L"Could not delete directory: " + target + L"\nCould not delete " + held + L": " +
                  SystemErrorText(ERROR_SHARING_VIOLATION),
              Backup(target));
    EXPECT_EQ("<BackupSet type=\"registry\"/>", ReadTextFile(held));
    // Nor into one that could not be made (one level only).
    EXPECT_EQ(L"CreateDirectory failed: " + SystemErrorText(ERROR_PATH_NOT_FOUND), Backup(scratch / L"no\\such"));
    EXPECT_FALSE(IsDirectoryOnDisk(scratch / L"no"));
}
