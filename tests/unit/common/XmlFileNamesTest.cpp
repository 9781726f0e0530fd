#include "common/BackupSet.h"
#include "common/FileSystem.h"

#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

namespace
{
    QM_DECLARE_MODULE_EXCEPTION(NamesBackupSetException);

    const BackupSetSchema NamesSchema = {L"NamesBackupSet.xml", L"<BackupSet type='Names'/>", {L"value"}, false};

    class NamesBackupSet : public BackupSet<NamesBackupSetException>
    {
    public:
        explicit NamesBackupSet(const String& directory) : BackupSet(directory, NamesSchema) {}
        String GetValue() const { return GetElementText(L"/BackupSet/value"); }
        void SetValue(const String& value) { SetElementText(L"/BackupSet/value", value); }
    };

    // A folder name that carries the whole path past 260 characters.
    String LongName(const String& base)
    {
        return String(300 - base.size() % 100, L'n');
    }
}

// Targets are folder names a user chose; none of them is a URL.
TEST(XmlFileNames, ManifestsOpenSaveAndReopenUnderAnyFolderName)
{
    ScratchDirectory folder;
    const String targets[] = {
        folder / L"x%41y",
        folder / L"with#hash",
        folder / L"space and %20 and ;",
        folder / LongName(folder.Path()) + L"\\deeper",
    };
    for (const String& target : targets)
    {
        SCOPED_TRACE(Strings::ToUtf8(target));
        ASSERT_TRUE(Directories::Create(target));
        {
            NamesBackupSet set(target);
            ASSERT_NO_THROW(set.Open());
            set.SetValue(target);
            ASSERT_TRUE(set.Save());
        }
        // The manifest is where the name says, read back by someone other than the DOM.
        const String manifest = target + L"\\NamesBackupSet.xml";
        EXPECT_EQ("BackupSet value", ElementOrder(ReadTextFile(manifest)));

        NamesBackupSet reopened(target);
        ASSERT_NO_THROW(reopened.Open());
        EXPECT_EQ(target, reopened.GetValue());
    }
    // "%41" was not read as "A".
    EXPECT_FALSE(IsDirectoryOnDisk(folder / L"xAy"));
}

TEST(XmlFileNames, SaveReplacesALongerFileAndLoadFailsOnAMissingOne)
{
    ScratchDirectory folder;
    const String path = folder / L"replace#me.xml";
    WriteTextFile(path, "<old>" + std::string(5000, 'o') + "</old>");
    CXmlDocumentWrapper document;
    ASSERT_TRUE(document.LoadXml(L"<new/>"));
    ASSERT_TRUE(document.Save(path));
    EXPECT_EQ("new", ElementOrder(ReadTextFile(path)));

    CXmlDocumentWrapper reader;
    EXPECT_FALSE(reader.Load(folder / L"missing#.xml"));
    EXPECT_FALSE(IsFileOnDisk(folder / L"missing#.xml"));
}
