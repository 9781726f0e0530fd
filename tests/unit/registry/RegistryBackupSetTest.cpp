#include "registry/RegistryBackupSet.h"

#include "common/XmlTestSupport.h"

#include <gtest/gtest.h>

using XmlTestSupport::ElementOrder;

namespace
{
    struct Hive
    {
        const wchar_t* filepath;
        const wchar_t* hivefile;
        const wchar_t* hivepath;
    };

    const Hive A = {L"C\\WINDOWS\\system32\\config\\SAM", L"\\Device\\HarddiskVolume1\\WINDOWS\\system32\\config\\SAM",
                    L"\\REGISTRY\\MACHINE\\SAM"};
    const Hive B = {L"C\\WINDOWS\\system32\\config\\software",
                    L"\\Device\\HarddiskVolume1\\WINDOWS\\system32\\config\\software",
                    L"\\REGISTRY\\MACHINE\\SOFTWARE"};
    const Hive C = {L"C\\Documents and Settings\\O'Brien\\NTUSER.DAT",
                    L"\\Device\\HarddiskVolume1\\Documents and Settings\\O'Brien\\NTUSER.DAT",
                    L"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1000"};

    void ExpectEntry(const Hive& expected, const HiveFileEntry& entry)
    {
        EXPECT_EQ(expected.filepath, entry.GetFilePath());
        EXPECT_EQ(expected.hivefile, entry.GetHiveFile());
        EXPECT_EQ(expected.hivepath, entry.GetHivePath());
    }
}

TEST(RegistryBackupSet, OpenOnAMissingDirectoryCreatesItAndAnEmptyManifest)
{
    ScratchDirectory folder;
    const String target = folder / L"backup\\nested";
    RegistryBackupSet set(target);
    EXPECT_EQ(target + L"\\RegistryBackupSet.xml", set.GetFilePath());
    set.Open();

    EXPECT_TRUE(IsDirectoryOnDisk(target));
    const std::string saved = ReadTextFile(set.GetFilePath());
    EXPECT_EQ("BackupSet files", ElementOrder(saved));
    EXPECT_NE(std::string::npos, saved.find("type=\"Registry\"")) << saved;
    EXPECT_TRUE(set.GetFiles().empty());
}

TEST(RegistryBackupSet, EntriesAddedABCAreListedCBA)
{
    ScratchDirectory folder;
    {
        RegistryBackupSet set(folder.Path());
        set.Open();
        ExpectEntry(A, set.AddFile(A.filepath, A.hivefile, A.hivepath));
        set.AddFile(B.filepath, B.hivefile, B.hivepath);
        set.AddFile(C.filepath, C.hivefile, C.hivepath);
        // Nothing reaches the disk before Save.
        EXPECT_EQ("BackupSet files", ElementOrder(ReadTextFile(set.GetFilePath())));
        const HiveFileList inMemory = set.GetFiles();
        ASSERT_EQ(3u, inMemory.size());
        ExpectEntry(C, inMemory[0]);
        ASSERT_TRUE(set.Save());
    }

    const std::string saved = ReadTextFile(folder / L"RegistryBackupSet.xml");
    EXPECT_EQ("BackupSet files file file file", ElementOrder(saved));
    // Attributes in the order they were set.
    const auto first = saved.find("<file ");
    EXPECT_LT(saved.find("filepath=", first), saved.find("hivefile=", first));
    EXPECT_LT(saved.find("hivefile=", first), saved.find("hivepath=", first));
    EXPECT_LT(saved.find("S-1-5-21"), saved.find("SOFTWARE"));
    EXPECT_LT(saved.find("SOFTWARE"), saved.find("MACHINE\\SAM"));

    RegistryBackupSet reader(folder.Path());
    reader.Open();
    const HiveFileList files = reader.GetFiles();
    ASSERT_EQ(3u, files.size());
    ExpectEntry(C, files[0]);
    ExpectEntry(B, files[1]);
    ExpectEntry(A, files[2]);
}

TEST(RegistryBackupSet, AManifestOfAnEarlierBackupLoadsUnchangedAndNothingIsWritten)
{
    ScratchDirectory folder;
    const std::string earlier =
        "<?xml version=\"1.0\"?>\n<BackupSet type=\"Registry\">\n\t<files>\n"
        "\t\t<file filepath=\"C\\WINDOWS\\system32\\config\\SAM\" "
        "hivefile=\"\\Device\\HarddiskVolume1\\WINDOWS\\system32\\config\\SAM\" hivepath=\"\\REGISTRY\\MACHINE\\SAM\"/>\n"
        "\t\t<file filepath=\"C\\x\" hivepath=\"\\REGISTRY\\USER\\.DEFAULT\"/>\n"
        "\t</files>\n</BackupSet>\n";
    const String path = folder / L"RegistryBackupSet.xml";
    WriteTextFile(path, earlier);

    RegistryBackupSet set(folder.Path());
    set.Open();
    const HiveFileList files = set.GetFiles();
    ASSERT_EQ(2u, files.size());
    ExpectEntry(A, files[0]);
    // A missing attribute reads as empty.
    ExpectEntry({L"C\\x", L"", L"\\REGISTRY\\USER\\.DEFAULT"}, files[1]);

    EXPECT_EQ(earlier, ReadTextFile(path));
}

TEST(RegistryBackupSet, AMalformedManifestFailsWithTheClassAndFullPath)
{
    ScratchDirectory folder;
    const String path = folder / L"RegistryBackupSet.xml";
    WriteTextFile(path, "<BackupSet type='Registry'><files><file></files>");
    RegistryBackupSet set(folder.Path());
    EXPECT_EQ(L"Could not load xml file: " + path, MessageOf<RegistryBackupSetException>([&] { set.Open(); }));
}

TEST(RegistryBackupSet, AFileInTheWayOfTheDirectoryFailsTheCreation)
{
    ScratchDirectory folder;
    WriteTextFile(folder / L"blocker", "not a folder");
    RegistryBackupSet set(folder / L"blocker\\target");
    EXPECT_EQ(L"Could not create directory", MessageOf<RegistryBackupSetException>([&] { set.Open(); }));
}

TEST(RegistryBackupSet, AManifestWithoutFilesListsNothingAndRefusesToAdd)
{
    ScratchDirectory folder;
    const String path = folder / L"RegistryBackupSet.xml";
    WriteTextFile(path, "<BackupSet type='Registry'/>");
    RegistryBackupSet set(folder.Path());
    set.Open();
    EXPECT_TRUE(set.GetFiles().empty());
    EXPECT_EQ(L"No element /BackupSet/files in " + path,
              MessageOf<RegistryBackupSetException>([&] { set.AddFile(A.filepath, A.hivefile, A.hivepath); }));
}

TEST(HiveFileEntry, PrefixesSelectTheRootKeyIgnoringCase)
{
    struct Case
    {
        const wchar_t* hivepath;
        HKEY root;
        const wchar_t* subkey;
    };
    const Case cases[] = {
        {L"\\REGISTRY\\MACHINE\\SOFTWARE", HKEY_LOCAL_MACHINE, L"SOFTWARE"},
        {L"\\registry\\machine\\SYSTEM", HKEY_LOCAL_MACHINE, L"SYSTEM"},
        {L"\\REGISTRY\\USER\\.DEFAULT", HKEY_USERS, L".DEFAULT"},
        {L"\\registry\\user\\S-1-5-21-1-2-3-1000_Classes", HKEY_USERS, L"S-1-5-21-1-2-3-1000_Classes"},
        // Neither prefix: no root, no subkey.
        {L"\\REGISTRY\\MACHINE", nullptr, L""},
        {L"\\REGISTRY\\USERS\\.DEFAULT", nullptr, L""},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE", nullptr, L""},
    };
    for (const Case& c : cases)
    {
        const HiveFileEntry entry(L"f", L"h", c.hivepath);
        EXPECT_EQ(c.root, entry.GetRootKey()) << Strings::ToUtf8(c.hivepath);
        EXPECT_EQ(c.subkey, entry.GetSubkey()) << Strings::ToUtf8(c.hivepath);
        EXPECT_EQ(String(L"TMP_") + c.subkey, entry.GetTemporaryName()) << Strings::ToUtf8(c.hivepath);
    }
}
