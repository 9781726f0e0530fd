// The registry's manifest, and the shared pattern's refusals. Writing and reading back a
// manifest is driven by the lab's backup and restore tests.

#include "registry/RegistryBackupSet.h"

#include "common/ErrorText.h"

#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

namespace
{
    QM_DECLARE_MODULE_EXCEPTION(SampleBackupSetException);

    const BackupSetSchema SampleSchema = {L"SampleBackupSet.xml", L"<BackupSet type='Sample'/>", {L"items"}, false};

    struct SampleBackupSet : BackupSet<SampleBackupSetException>
    {
        explicit SampleBackupSet(const String& directory) : BackupSet(directory, SampleSchema) {}
    };
}

TEST(BackupSet, AManifestOfAnEarlierBackupLoadsUnchanged)
{
    ScratchDirectory folder;
    const std::string earlier =
        "<?xml version=\"1.0\"?>\r\n<BackupSet type=\"Registry\">\r\n\t<files>\r\n"
        "\t\t<file filepath=\"C\\WINDOWS\\system32\\config\\SAM\" "
        "hivefile=\"\\Device\\HarddiskVolume1\\WINDOWS\\system32\\config\\SAM\" hivepath=\"\\REGISTRY\\MACHINE\\SAM\"/>\r\n"
        "\t\t<file filepath=\"C\\x\" hivepath=\"\\REGISTRY\\USER\\.DEFAULT\"/>\r\n\t</files>\r\n</BackupSet>\r\n";
    const String path = folder / L"RegistryBackupSet.xml";
    WriteTextFile(path, earlier);

    RegistryBackupSet set(folder.Path());
    set.Open();
    const HiveFileList files = set.GetFiles();
    ASSERT_EQ(2u, files.size());
    EXPECT_EQ(L"C\\WINDOWS\\system32\\config\\SAM", files[0].GetFilePath());
    EXPECT_EQ(L"\\Device\\HarddiskVolume1\\WINDOWS\\system32\\config\\SAM", files[0].GetHiveFile());
    EXPECT_EQ(L"\\REGISTRY\\MACHINE\\SAM", files[0].GetHivePath());
    // A missing attribute reads as empty.
    EXPECT_EQ(L"", files[1].GetHiveFile());
    EXPECT_EQ(L"\\REGISTRY\\USER\\.DEFAULT", files[1].GetHivePath());
    EXPECT_EQ(earlier, ReadTextFile(path));
}

TEST(BackupSet, FailuresNameWhatWasWrongAndCreateNothing)
{
    ScratchDirectory folder;
    WriteTextFile(folder / L"blocker", "not a folder");
    EXPECT_EQ(L"Could not create directory",
              MessageOf<RegistryBackupSetException>([&] { RegistryBackupSet(folder / L"blocker\\target").Open(); }));
    WriteTextFile(folder / L"nofiles\\RegistryBackupSet.xml", "<BackupSet type='Registry'/>");
    RegistryBackupSet set(folder / L"nofiles");
    set.Open();
    EXPECT_TRUE(set.GetFiles().empty());
    EXPECT_EQ(L"No element /BackupSet/files in " + folder / L"nofiles\\RegistryBackupSet.xml",
              MessageOf<RegistryBackupSetException>(
                  [&] { set.AddFile(L"C\\x", L"\\Device\\HarddiskVolume1\\x", L"\\REGISTRY\\MACHINE\\X"); }));
    // A schema that does not create its directory fails on a missing one, with the write's cause.
    EXPECT_EQ(L"Could not save xml file: " + folder / L"missing\\SampleBackupSet.xml\n" +
                  ErrorText::Format(ERROR_PATH_NOT_FOUND),
              MessageOf<SampleBackupSetException>([&] { SampleBackupSet(folder / L"missing").Open(); }));
    EXPECT_FALSE(IsDirectoryOnDisk(folder / L"missing"));
}

// A restore reads only what a backup of this kind left, and writes nothing.
TEST(BackupSet, OpenExistingRefusesWhatNoBackupOfThisKindLeft)
{
    ScratchDirectory folder;
    const wchar_t* const noBackup = L"No sample backup in %s";
    const struct
    {
        const wchar_t* folder;
        const char* manifest;   // null: no file
    } notBackups[] = {
        {L"absent", nullptr},
        {L"otherroot", "<Manifest type='Sample'><items/></Manifest>"},
        {L"othertype", "<BackupSet type='Registry'><items/></BackupSet>"},
        {L"nolist", "<BackupSet type='Sample'/>"},
    };
    for (const auto& notBackup : notBackups)
    {
        const String directory = folder / notBackup.folder;
        if (notBackup.manifest)
            WriteTextFile(directory + L"\\SampleBackupSet.xml", notBackup.manifest);
        EXPECT_EQ(L"No sample backup in " + directory,
                  MessageOf<SampleBackupSetException>([&] { SampleBackupSet(directory).OpenExisting(noBackup); }));
        if (notBackup.manifest)
        {
            EXPECT_EQ(notBackup.manifest, ReadTextFile(directory + L"\\SampleBackupSet.xml"));
        }
    }
    EXPECT_FALSE(IsDirectoryOnDisk(folder / L"absent"));

    WriteTextFile(folder / L"broken\\SampleBackupSet.xml", "<BackupSet type='Sample'><items>");
    EXPECT_EQ(L"Could not load xml file: " + folder / L"broken\\SampleBackupSet.xml",
              MessageOf<SampleBackupSetException>([&] { SampleBackupSet(folder / L"broken").OpenExisting(noBackup); }));

    WriteTextFile(folder / L"whole\\SampleBackupSet.xml", "<BackupSet type='Sample'><items><item/></items></BackupSet>");
    EXPECT_EQ(L"(nothing thrown)",
              MessageOf<SampleBackupSetException>([&] { SampleBackupSet(folder / L"whole").OpenExisting(noBackup); }));
}
