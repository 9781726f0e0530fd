#include "common/BackupSet.h"

#include "common/XmlTestSupport.h"

#include <gtest/gtest.h>

using XmlTestSupport::ElementOrder;

namespace
{
    QM_DECLARE_MODULE_EXCEPTION(SampleBackupSetException);

    const BackupSetSchema SampleSchema = {
        L"SampleBackupSet.xml", L"<BackupSet type='Sample'/>", {L"alpha", L"beta", L"gamma", L"items"}, false};

    // A component's manifest as the later components write theirs: schema plus accessors.
    class SampleBackupSet : public BackupSet<SampleBackupSetException>
    {
    public:
        explicit SampleBackupSet(const String& directory) : BackupSet(directory, SampleSchema) {}

        String GetAlpha() const { return GetElementText(L"/BackupSet/alpha"); }
        void SetAlpha(const String& value) { SetElementText(L"/BackupSet/alpha", value); }
        void AddItem(const String& text) { AddListItem(L"/BackupSet/items", L"item").SetText(text); }
        StringList GetItems() const { return GetListTexts(L"/BackupSet/items"); }
    };
}

TEST(BackupSet, OpenCreatesTheSkeletonWithInitialChildrenInOrderThenLoadsIt)
{
    ScratchDirectory folder;
    SampleBackupSet set(folder.Path());
    // Construction reads and writes nothing.
    EXPECT_FALSE(IsFileOnDisk(set.GetFilePath()));
    set.Open();

    const std::string saved = ReadTextFile(set.GetFilePath());
    EXPECT_EQ("BackupSet alpha beta gamma items", ElementOrder(saved));
    EXPECT_NE(std::string::npos, saved.find("type=\"Sample\"")) << saved;
    set.SetAlpha(L"value");
    EXPECT_EQ(L"value", set.GetAlpha());
    // Changes stay in memory until Save.
    EXPECT_EQ(saved, ReadTextFile(set.GetFilePath()));
}

TEST(BackupSet, OpenLoadsAnExistingManifestUnchanged)
{
    ScratchDirectory folder;
    // Written by hand: another type, indentation, declaration, children in another order.
    const std::string existing = "<?xml version=\"1.0\"?>\r\n<BackupSet type='Other'>\r\n"
                                 "  <items>\r\n    <item>two</item>\r\n    <item>one</item>\r\n  </items>\r\n"
                                 "  <alpha>kept</alpha>\r\n</BackupSet>\r\n";
    const String path = folder / L"SampleBackupSet.xml";
    WriteTextFile(path, existing);

    SampleBackupSet set(folder.Path());
    set.Open();
    EXPECT_EQ(existing, ReadTextFile(path));
    EXPECT_EQ(L"kept", set.GetAlpha());
    // Indentation is not read as list entries.
    EXPECT_EQ((StringList{L"two", L"one"}), set.GetItems());
}

TEST(BackupSet, OpenWithoutDirectoryCreationFailsOnAMissingFolder)
{
    ScratchDirectory folder;
    const String missing = folder / L"not-there";
    SampleBackupSet set(missing);
    EXPECT_EQ(L"Could not load xml file: " + missing + L"\\SampleBackupSet.xml",
              MessageOf<SampleBackupSetException>([&] { set.Open(); }));
    EXPECT_FALSE(IsDirectoryOnDisk(missing));
}

TEST(BackupSet, SaveWritesTheChangesForTheNextReaderNewestFirst)
{
    ScratchDirectory folder;
    {
        SampleBackupSet set(folder.Path());
        set.Open();
        set.SetAlpha(L"C:\\WINDOWS");
        set.AddItem(L"first");
        set.AddItem(L"second");
        EXPECT_TRUE(set.Save());
    }
    SampleBackupSet reader(folder.Path());
    reader.Open();
    EXPECT_EQ(L"C:\\WINDOWS", reader.GetAlpha());
    EXPECT_EQ((StringList{L"second", L"first"}), reader.GetItems());
}
