#include "files/Directories.h"
#include "xml/BackupSet.h"
#include "errors/ErrorText.h"
#include "registry/RegistryBackupSet.h"
#include "xml/XmlWrapper.h"

#include "common/ScratchDirectory.h"

#include <ole2.h>
#include <thread>

namespace
{
    QM_DECLARE_MODULE_EXCEPTION(NamesBackupSetException);
    const BackupSetSchema NamesSchema = {L"NamesBackupSet.xml", L"<BackupSet type='Names'/>", {L"value"}, false};

    struct NamesBackupSet : BackupSet<NamesBackupSetException>
    {
        explicit NamesBackupSet(const String& directory) : BackupSet(directory, NamesSchema) {}
        String GetValue() const { return GetElementText(L"/BackupSet/value"); }
        void SetValue(const String& value) { SetElementText(L"/BackupSet/value", value); }
    };
}

// A broken or missing manifest is refused by the lab's hostile and registry restore tests, as is a
// document type declaration in a manifest.
TEST(XmlDocumentWrapper, RefusesADocumentTypeDeclarationAndSavesAnyTextUnderAnyFolderName)
{
    ScratchDirectory folder;
    CXmlDocumentWrapper document;
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

    // Manifests open, save and reopen under any folder name a user chose: none of them is a URL.
    const String targets[] = {folder / L"x%41y", folder / L"with#hash", folder / L"space and %20 and ;",
                              folder / String(250, L'n') + L"\\deeper"};
    for (const String& target : targets)
    {
        SCOPED_TRACE(Strings::ToUtf8(target));
        ASSERT_TRUE(Directories::Create(target));
        NamesBackupSet set(target);
        ASSERT_NO_THROW(set.Open());
        set.SetValue(target);
        ASSERT_TRUE(set.Save());
        EXPECT_EQ("BackupSet value", ElementOrder(ReadTextFile(target + L"\\NamesBackupSet.xml")));
        NamesBackupSet reopened(target);
        ASSERT_NO_THROW(reopened.Open());
        EXPECT_EQ(target, reopened.GetValue());
    }
    EXPECT_FALSE(IsDirectoryOnDisk(folder / L"xAy"));
}

// A thread already in a single-threaded apartment stays there, once, after the wrappers go: one
// more call says so, and two calls undo both.
TEST(XmlDocumentWrapper, WrappersBalanceTheirOwnComInitialisationOnly)
{
    HRESULT stillInitialised = E_UNEXPECTED, afterOwnBalance = E_UNEXPECTED;
    bool loaded = false;
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            CXmlDocumentWrapper first, second;
            loaded = first.LoadXml(L"<BackupSet/>") && second.LoadXml(L"<BackupSet/>");
        }
        stillInitialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CoUninitialize();
        CoUninitialize();
        afterOwnBalance = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
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

// The shared pattern of the manifests, through the registry's (which makes its folder) and a sample
// one (which does not). Writing and reading back a manifest is driven by the lab's registry tests.
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
    EXPECT_EQ(L"Could not save xml file: " + folder / L"missing\\NamesBackupSet.xml\n" + ErrorText::Format(ERROR_PATH_NOT_FOUND),
              MessageOf<NamesBackupSetException>([&] { NamesBackupSet(folder / L"missing").Open(); }));
    EXPECT_FALSE(IsDirectoryOnDisk(folder / L"missing"));

    // A restore reads only what a backup of this kind left, and writes nothing. Another type, a
    // missing manifest or list are refused in the lab's hostile test; here, a root of another name.
    const std::string other = "<Manifest type='Names'><value/></Manifest>";
    WriteTextFile(folder / L"NamesBackupSet.xml", other);
    EXPECT_EQ(L"No names backup in " + folder.Path(),
              MessageOf<NamesBackupSetException>([&] { NamesBackupSet(folder.Path()).OpenExisting(L"No names backup in %s"); }));
    EXPECT_EQ(other, ReadTextFile(folder / L"NamesBackupSet.xml"));
}
