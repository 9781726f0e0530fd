#include "files/Directories.h"
#include "xml/BackupSet.h"
#include "xml/XmlWrapper.h"

#include "common/ScratchDirectory.h"

#include <ole2.h>

#include <gtest/gtest.h>

#include <thread>

namespace
{
    const wchar_t* const Sample = L"<BackupSet type='Test'><first a='1'>one</first><second/></BackupSet>";

    QM_DECLARE_MODULE_EXCEPTION(NamesBackupSetException);
    const BackupSetSchema NamesSchema = {L"NamesBackupSet.xml", L"<BackupSet type='Names'/>", {L"value"}, false};

    class NamesBackupSet : public BackupSet<NamesBackupSetException>
    {
    public:
        explicit NamesBackupSet(const String& directory) : BackupSet(directory, NamesSchema) {}
        String GetValue() const { return GetElementText(L"/BackupSet/value"); }
        void SetValue(const String& value) { SetElementText(L"/BackupSet/value", value); }
    };

    // The thread's answer to CoInitializeEx in the model, balanced at once.
    HRESULT Initialise(DWORD model)
    {
        const HRESULT result = CoInitializeEx(nullptr, model);
        if (SUCCEEDED(result))
            CoUninitialize();
        return result;
    }
}

// A broken or missing manifest, and one that cannot be saved, are refused through the backup sets
// (RegistryBackupSetTest), a document type declaration in a manifest by the lab's hostile test.
TEST(XmlDocumentWrapper, LoadsWellFormedTextOnlyAndSavesNonAsciiTextAndAttributes)
{
    ScratchDirectory folder;
    CXmlDocumentWrapper document;
    EXPECT_FALSE(document.LoadXml(L"<BackupSet><open></BackupSet>"));
    EXPECT_TRUE(document.GetDocumentElement().IsEmpty());
    // No manifest has a document type declaration, whose entities may expand without end: in
    // UTF-16 too, and across the boundary of two reads of the file.
    std::string wide;
    for (char c : std::string(65533, ' ') + "<!DOCTYPE BackupSet [<!ENTITY a 'x'>]><BackupSet>&a;</BackupSet>")
        wide += std::string(1, c) + '\0';
    WriteTextFile(folder / L"utf16.xml", "\xff\xfe" + wide);
    EXPECT_FALSE(document.Load(folder / L"utf16.xml"));

    // Saving over a longer file leaves nothing of it behind.
    const String path = folder / L"roundtrip.xml";
    WriteTextFile(path, "<old>" + std::string(5000, 'o') + "</old>");
    const String text = L"C:\\Dokumente und Einstellungen\\J\u00fcrgen \u00c6\u00d8 \u65e5\u672c";
    ASSERT_TRUE(document.LoadXml(L"<root/>"));
    CXmlNodeWrapper child = document.GetDocumentElement().InsertNode(0, L"item");
    child.SetText(text);
    child.SetAttribute(L"quote", L"it's \"x\" & <y>");
    ASSERT_TRUE(document.Save(path));
    EXPECT_EQ("root item", ElementOrder(ReadTextFile(path)));
    CXmlDocumentWrapper reread;
    ASSERT_TRUE(reread.Load(path));
    CXmlNodeWrapper item = reread.GetDocumentElement().GetChild(0);
    EXPECT_EQ(text, item.GetText());
    EXPECT_EQ(L"it's \"x\" & <y>", item.GetAttribute(L"quote", L""));
}

// Targets are folder names a user chose; none of them is a URL.
TEST(XmlDocumentWrapper, ManifestsOpenSaveAndReopenUnderAnyFolderName)
{
    ScratchDirectory folder;
    const String targets[] = {folder / L"x%41y", folder / L"with#hash", folder / L"space and %20 and ;",
                              folder / String(300 - folder.Path().size() % 100, L'n') + L"\\deeper"};
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
        EXPECT_EQ("BackupSet value", ElementOrder(ReadTextFile(target + L"\\NamesBackupSet.xml")));
        NamesBackupSet reopened(target);
        ASSERT_NO_THROW(reopened.Open());
        EXPECT_EQ(target, reopened.GetValue());
    }
    EXPECT_FALSE(IsDirectoryOnDisk(folder / L"xAy"));
}

// A thread already in a single-threaded apartment stays there, once, after the wrappers go.
TEST(XmlDocumentWrapper, WrappersBalanceTheirOwnComInitialisationOnly)
{
    HRESULT stillInitialised = E_UNEXPECTED, afterOwnBalance = E_UNEXPECTED;
    bool loaded = false;
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            CXmlDocumentWrapper first, second;
            loaded = first.LoadXml(Sample) && second.LoadXml(Sample);
        }
        stillInitialised = Initialise(COINIT_APARTMENTTHREADED);
        CoUninitialize();
        afterOwnBalance = Initialise(COINIT_MULTITHREADED);
    }).join();
    EXPECT_TRUE(loaded);
    EXPECT_EQ(S_FALSE, stillInitialised);
    EXPECT_EQ(S_OK, afterOwnBalance);
}

// The manifests select by fixed paths, add children first or last and replace texts.
TEST(XmlNodeWrapper, InsertNodePlacesByIndexTextReplacesAllContentAndPathsOutsideTheGrammarFindNothing)
{
    ScratchDirectory folder;
    CXmlDocumentWrapper document;
    ASSERT_TRUE(document.LoadXml(L"<BackupSet><a/><b/></BackupSet>"));
    CXmlNodeWrapper root = document.GetDocumentElement();
    root.InsertNode(0, L"first");
    root.InsertNode(2, L"middle");
    root.InsertNode(9, L"last").SetAttribute(L"size", 7L);
    EXPECT_TRUE(root.GetChild(5).IsEmpty());
    EXPECT_EQ(L"7", root.GetChild(4).GetAttribute(L"size", L""));
    ASSERT_TRUE(document.Save(folder / L"order.xml"));
    EXPECT_EQ("BackupSet first a middle b last", ElementOrder(ReadTextFile(folder / L"order.xml")));
    EXPECT_FALSE(root.SelectSingleNode(L"/BackupSet/middle").IsEmpty());
    EXPECT_FALSE(root.SelectSingleNode(L"last").IsEmpty());
    // XPath, not XSL Patterns: positions count from 1.
    EXPECT_EQ(L"7", root.SelectSingleNode(L"/BackupSet/*[5]").GetAttribute(L"size", L""));
    // Outside the accepted grammar (never handed to the DOM), or accepted and fatal to the DOM in
    // its default selection language.
    for (const wchar_t* query : {L"/BackupSet/missing", L"/BackupSet/file[@name='o'brien.edb']", L"count(/BackupSet)",
                                 L"/BackupSet/file[or]", L"/BackupSet/file[ns:a]"})
        EXPECT_TRUE(root.SelectSingleNode(query).IsEmpty()) << Strings::ToUtf8(query);

    ASSERT_TRUE(document.LoadXml(L"<root>lead<a/><b>inner</b>tail</root>"));
    root = document.GetDocumentElement();
    root.SetText(L"only this");
    EXPECT_EQ(1, root.NumChildren());
    EXPECT_EQ(L"only this", root.GetText());

    CXmlNodeWrapper empty;
    EXPECT_EQ(0, empty.NumChildren());
    EXPECT_TRUE(empty.SelectSingleNode(L"/BackupSet").IsEmpty());
    EXPECT_EQ(L"fallback", empty.GetAttribute(L"name", L"fallback"));
    EXPECT_NO_THROW(empty.SetText(L"ignored"));
    EXPECT_THROW(empty.InsertNode(0, L"file"), XmlException);
    EXPECT_THROW(empty.SetAttribute(L"size", 5L), XmlException);
}
