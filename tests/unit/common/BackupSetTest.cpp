#include "common/BackupSet.h"

#include "common/XmlTestSupport.h"

#include <gtest/gtest.h>

using XmlTestSupport::ElementOrder;
using XmlTestSupport::ReadFileBytes;
using XmlTestSupport::ScratchFolder;
using XmlTestSupport::WriteFileBytes;

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
        // For the tests of missing elements.
        String GetMissing() const { return GetElementText(L"/BackupSet/missing"); }
        void SetMissing(const String& value) { SetElementText(L"/BackupSet/missing", value); }
        bool AddToMissingList() { return !AddListItem(L"/BackupSet/missing", L"item").IsEmpty(); }
        StringList GetMissingList() const { return GetListTexts(L"/BackupSet/missing"); }
    };

    template <typename Action>
    String MessageOf(Action action)
    {
        try
        {
            action();
        }
        catch (const SampleBackupSetException& error)
        {
            return error.GetMessage();
        }
        return L"(nothing thrown)";
    }
}

TEST(BackupSet, ConstructionReadsAndWritesNothing)
{
    ScratchFolder folder;
    {
        SampleBackupSet set(folder.Path());
    }
    EXPECT_FALSE(XmlTestSupport::FileExists(folder / L"SampleBackupSet.xml"));
}

TEST(BackupSet, OpenCreatesTheSkeletonWithInitialChildrenInOrderThenLoadsIt)
{
    ScratchFolder folder;
    SampleBackupSet set(folder.Path());
    set.Open();

    const std::string saved = ReadFileBytes(set.GetFilePath());
    EXPECT_EQ("BackupSet alpha beta gamma items", ElementOrder(saved));
    EXPECT_NE(std::string::npos, saved.find("type=\"Sample\"")) << saved;

    // Loaded from disk: reading an element of the new file works.
    EXPECT_EQ(L"", set.GetAlpha());
    set.SetAlpha(L"value");
    EXPECT_EQ(L"value", set.GetAlpha());
    // Changes stay in memory until Save.
    EXPECT_EQ(saved, ReadFileBytes(set.GetFilePath()));
}

TEST(BackupSet, OpenLoadsAnExistingManifestUnchanged)
{
    ScratchFolder folder;
    // Written by hand: another type, indentation, declaration, children in another order.
    const std::string existing = "<?xml version=\"1.0\"?>\r\n<BackupSet type='Other'>\r\n"
                                 "  <items>\r\n    <item>two</item>\r\n    <item>one</item>\r\n  </items>\r\n"
                                 "  <alpha>kept</alpha>\r\n</BackupSet>\r\n";
    const String path = folder / L"SampleBackupSet.xml";
    WriteFileBytes(path, existing);

    SampleBackupSet set(folder.Path());
    set.Open();
    EXPECT_EQ(existing, ReadFileBytes(path));
    EXPECT_EQ(L"kept", set.GetAlpha());
    // Indentation is not read as list entries.
    EXPECT_EQ((StringList{L"two", L"one"}), set.GetItems());
}

TEST(BackupSet, OpenWithoutDirectoryCreationFailsOnAMissingFolder)
{
    ScratchFolder folder;
    const String missing = folder / L"not-there";
    SampleBackupSet set(missing);
    EXPECT_EQ(L"Could not load xml file: " + missing + L"\\SampleBackupSet.xml", MessageOf([&] { set.Open(); }));
    EXPECT_FALSE(XmlTestSupport::DirectoryExists(missing));
}

TEST(BackupSet, SaveWritesTheChangesForTheNextReader)
{
    ScratchFolder folder;
    {
        SampleBackupSet set(folder.Path());
        set.Open();
        set.SetAlpha(L"C:\\WINDOWS");
        set.AddItem(L"first");
        EXPECT_TRUE(set.Save());
    }
    SampleBackupSet reader(folder.Path());
    reader.Open();
    EXPECT_EQ(L"C:\\WINDOWS", reader.GetAlpha());
    EXPECT_EQ(StringList{L"first"}, reader.GetItems());
}

TEST(BackupSet, ListItemsAreKeptNewestFirst)
{
    ScratchFolder folder;
    SampleBackupSet set(folder.Path());
    set.Open();
    set.AddItem(L"A");
    set.AddItem(L"B");
    set.AddItem(L"C");
    EXPECT_EQ((StringList{L"C", L"B", L"A"}), set.GetItems());
    ASSERT_TRUE(set.Save());
    const std::string saved = ReadFileBytes(set.GetFilePath());
    EXPECT_LT(saved.find(">C<"), saved.find(">B<"));
    EXPECT_LT(saved.find(">B<"), saved.find(">A<"));
}

TEST(BackupSet, MissingElementsReadEmptyAndTakeNothing)
{
    ScratchFolder folder;
    SampleBackupSet set(folder.Path());
    set.Open();
    EXPECT_EQ(L"", set.GetMissing());
    EXPECT_NO_THROW(set.SetMissing(L"x"));
    EXPECT_FALSE(set.AddToMissingList());
    EXPECT_TRUE(set.GetMissingList().empty());
    ASSERT_TRUE(set.Save());
    EXPECT_EQ("BackupSet alpha beta gamma items", ElementOrder(ReadFileBytes(set.GetFilePath())));
}
