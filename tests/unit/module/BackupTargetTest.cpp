// A backup empties its target first, so it takes only a target that holds nothing or an earlier
// backup, and never one inside what it copies; the emptying itself is checked. Refusing the
// Windows directory and the components' real live folders before anything in them is touched is
// shown in a lab machine (tests/lab/backup_target.sh), where a failure harms nothing.

#include "module/Components.h"

#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <vector>

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

    // The live folder the test's stand-in component copies.
    String g_liveFolder;
    StringList LiveFolder() { return {g_liveFolder}; }

    // Every file and folder below path, one "name" or "name\\" line each, to compare before and
    // after.
    String Tree(const String& path, const String& prefix = String())
    {
        String listing;
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((Paths::ToLongPath(path) + L"\\*").c_str(), &entry));
        if (!search)
            return listing;
        do
        {
            if (Directories::IsDotEntry(entry.cFileName))
                continue;
            const String name = prefix + entry.cFileName;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                listing += name + L"\\\n" + Tree(path + L"\\" + entry.cFileName, name + L"\\");
            else
                listing += name + L"\n";
        } while (FindNextFileW(search.get(), &entry));
        return listing;
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
        EXPECT_EQ(Invalid(directory), MessageOf<FileSystemException>(
                                          [&] { Components::CheckBackupTarget(Components::All(), options, directory); }))
            << Strings::ToUtf8(directory);
    for (const String& manifest : planted)
        EXPECT_TRUE(DeleteFileW(manifest.c_str()));

    // Every top-level entry must be one a component (or the catalog) writes there, of its kind:
    // one mark among someone's files does not make them a backup.
    const std::vector<std::vector<const wchar_t*>> foreign = {
        {L"notes.txt"},
        {L"comDB.reg", L"report.docx", L"drafts\\chapter1.txt"},
        {L"RegistryBackupSet.xml", L"Reg\\C\\software", L"stale.txt"},
        {L"SHA256SUMS", L"backup.json", L"photos\\1.jpg"},
        // A manifest further down, or a folder of a manifest's name, is not ours to recognise.
        {L"old\\RegistryBackupSet.xml"},
        {L"RegistryBackupSet.xml\\x"},
        // A file where a component writes a folder.
        {L"Cluster"},
        // The directory's database and logs count only beside its manifest; logs of something else
        // are someone's.
        {L"ntds.dit", L"edb00001.log"},
        {L"install.log"},
        {L"ActiveDirectoryBackupSet.xml", L"ntds.dit", L"notes.txt"},
    };
    for (const auto& files : foreign)
    {
        const String target = scratch / (L"foreign" + std::to_wstring(&files - foreign.data()));
        for (const wchar_t* file : files)
            WriteTextFile(target + L"\\" + file, "mine");
        const String before = Tree(target);
        EXPECT_EQ(Invalid(target), MessageOf<FileSystemException>([&] { Backup(target); })) << Strings::ToUtf8(before);
        EXPECT_EQ(before, Tree(target));
        for (const wchar_t* file : files)
            EXPECT_EQ("mine", ReadTextFile(target + L"\\" + file)) << Strings::ToUtf8(file);
    }
}

TEST_F(BackupTarget, AFolderHoldingOnlyWhatComponentsWriteIsAnEarlierBackupAndIsEmptied)
{
    const std::vector<std::vector<const wchar_t*>> earlier = {
        // The cluster service writes its folder and nothing else.
        {L"Cluster\\CLUSDB", L"Cluster\\chk0001.tmp"},
        // The directory's writer path hands its files over into "ntds" and writes no manifest.
        {L"ntds\\ntds.dit", L"ntds\\edb.chk"},
        // The backup API path writes the database and logs loose beside its manifest.
        {L"ActiveDirectoryBackupSet.xml", L"ntds.dit", L"edb00001.log", L"EDB0000A.LOG", L"edb.chk"},
        // A backup that ssbr catalogued after every component it asked for was skipped.
        {L"SHA256SUMS", L"backup.json"},
        // Everything, as a backup of all components and its catalog leave it.
        {L"CoreBootSystemFilesBackupSet.xml", L"BootFiles\\C\\NtLdr", L"CatRoot\\C\\x.cat", L"SPF\\C\\x.dll",
         L"SfcDllCache\\x.dll", L"Perf\\C\\PerfC009.dat", L"IIS\\C\\MetaBase.bin", L"ActiveDirectoryBackupSet.xml",
         L"ntds.dit", L"edb00001.log", L"SystemVolumeBackupSet.xml", L"SysVol\\C\\WINDOWS\\SysVol\\a.ini",
         L"CertificateServicesBackupSet.xml", L"CertSrv\\SRV\\C$\\CertLog\\ca.edb", L"Cluster\\CLUSDB",
         L"RegistryBackupSet.xml", L"Reg\\C\\WINDOWS\\system32\\config\\SAM", L"comDB.reg", L"SHA256SUMS",
         L"backup.json"},
    };
    for (const auto& files : earlier)
    {
        const String target = scratch / (L"earlier" + std::to_wstring(&files - earlier.data()));
        for (const wchar_t* file : files)
            WriteTextFile(target + L"\\" + file, "earlier");
        EXPECT_EQ(L"", Backup(target)) << Strings::ToUtf8(files[0]);
        EXPECT_EQ(L"", Tree(target)) << Strings::ToUtf8(files[0]);
    }
}

TEST_F(BackupTarget, ATargetInALiveFolderOfAnEnabledComponentIsRefusedBeforeAnythingIsWritten)
{
    // The system's rows, the registry's with a live folder of the test's.
    std::vector<Component> rows(Components::All().begin(), Components::All().end());
    Component* registry = nullptr;
    for (Component& row : rows)
        if (String(row.option) == L"--registry")
            registry = &row;
    ASSERT_NE(nullptr, registry);
    registry->liveFolders = &LiveFolder;
    registry->backup = [](const ComponentJob&) {};
    const ComponentList table = {rows.data(), rows.size()};
    g_liveFolder = scratch / L"Live";
    WriteTextFile(g_liveFolder + L"\\data.txt", "live");
    ComponentJob job;
    const auto backup = [&](const String& directory) {
        job.directory = directory;
        return Components::Backup(table, options, job, machine);
    };

    options.m_bRegistryService = VARIANT_TRUE;
    for (const String& target : {g_liveFolder, g_liveFolder + L"\\", g_liveFolder + L"\\bk",
                                 g_liveFolder + L"\\a\\..\\bk", Strings::ToUpper(g_liveFolder) + L"\\bk",
                                 L"\\\\?\\" + g_liveFolder + L"\\bk"})
    {
        EXPECT_EQ(Invalid(target), MessageOf<FileSystemException>([&] { backup(target); })) << Strings::ToUtf8(target);
        EXPECT_EQ(L"data.txt\n", Tree(g_liveFolder)) << Strings::ToUtf8(target);
    }
    // Next to it is no copy into it.
    EXPECT_EQ(L"", backup(scratch / L"LiveBackup"));
    EXPECT_TRUE(IsDirectoryOnDisk(scratch / L"LiveBackup"));

    // The live folder of a component that is not enabled does not count.
    options.m_bRegistryService = VARIANT_FALSE;
    EXPECT_EQ(L"", backup(g_liveFolder + L"\\bk"));
    EXPECT_TRUE(IsDirectoryOnDisk(g_liveFolder + L"\\bk"));
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
            WriteTextFile(target + L"\\Reg\\stale.txt", "stale");
            SetFileAttributesW(Paths::ToLongPath(target + L"\\Reg\\stale.txt").c_str(), FILE_ATTRIBUTE_READONLY);
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
