#include "common/XmlWrapper.h"

#include "common/ScratchDirectory.h"

#include <ole2.h>

#include <gtest/gtest.h>

#include <thread>

namespace
{
    const wchar_t* const Sample = L"<BackupSet type='Test'><first a='1'>one</first><second/></BackupSet>";
}

TEST(XmlDocumentWrapper, LoadsWellFormedTextOnlyAndSavesNonAsciiTextAndAttributes)
{
    ScratchDirectory folder;
    CXmlDocumentWrapper document;
    ASSERT_TRUE(document.HasDocument());
    EXPECT_FALSE(document.LoadXml(L"<BackupSet><open></BackupSet>"));
    // A failed parse leaves no root behind.
    EXPECT_TRUE(document.GetDocumentElement().IsEmpty());
    EXPECT_FALSE(document.Load(folder / L"missing.xml"));
    WriteTextFile(folder / L"broken.xml", "<BackupSet type='Registry'><files></BackupSet>");
    EXPECT_FALSE(document.Load(folder / L"broken.xml"));

    ASSERT_TRUE(document.LoadXml(Sample));
    const String nowhere = folder / L"no\\such\\folder\\file.xml";
    EXPECT_FALSE(document.Save(nowhere));
    EXPECT_FALSE(IsFileOnDisk(nowhere));

    const String path = folder / L"roundtrip.xml";
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

TEST(XmlDocumentWrapper, WrappersLeaveAnUninitialisedThreadUninitialised)
{
    HRESULT duringLife = E_UNEXPECTED;
    HRESULT afterwards = E_UNEXPECTED;
    // A fresh thread, whose COM state no other test has touched.
    std::thread([&] {
        {
            CXmlDocumentWrapper first;
            CXmlDocumentWrapper second;
            // Already initialised (by the wrappers): S_FALSE, which needs its own balance.
            duringLife = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            if (SUCCEEDED(duringLife))
                CoUninitialize();
        }
        // S_OK only if every wrapper undid exactly its own initialisation.
        afterwards = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(afterwards))
            CoUninitialize();
    }).join();
    EXPECT_EQ(S_FALSE, duringLife);
    EXPECT_EQ(S_OK, afterwards);
}

TEST(XmlDocumentWrapper, WrappersJoinAndLeaveAnExistingSingleThreadedApartment)
{
    HRESULT stillInitialised = E_UNEXPECTED;
    HRESULT afterOwnBalance = E_UNEXPECTED;
    bool loaded = false;
    // A fresh thread, whose COM state no other test has touched.
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            CXmlDocumentWrapper first;
            CXmlDocumentWrapper second;
            loaded = first.LoadXml(Sample) && second.LoadXml(Sample);
        }
        // The thread's own initialisation is still there after the wrappers went...
        stillInitialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CoUninitialize();
        // ...and one balancing call ends it: multi-threaded is accepted only once it is gone.
        CoUninitialize();
        afterOwnBalance = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(afterOwnBalance))
            CoUninitialize();
    }).join();
    EXPECT_TRUE(loaded);
    EXPECT_EQ(S_FALSE, stillInitialised);
    EXPECT_EQ(S_OK, afterOwnBalance);
}

// The manifest tests drive insertion at the front and string attributes.
TEST(XmlNodeWrapper, InsertNodePlacesByIndexAttributesReplaceAndTextReplacesAllContent)
{
    ScratchDirectory folder;
    CXmlDocumentWrapper document;
    ASSERT_TRUE(document.LoadXml(L"<root><a/><b/></root>"));
    CXmlNodeWrapper root = document.GetDocumentElement();
    root.InsertNode(1, L"middle");
    // The result is the new element itself; past the end it is appended.
    CXmlNodeWrapper added = root.InsertNode(9, L"last");
    EXPECT_TRUE(root.GetChild(4).IsEmpty());
    added.SetAttribute(L"smallest", static_cast<long>(-2147483647L - 1));
    added.SetAttribute(L"name", L"first");
    added.SetAttribute(L"name", L"second");
    EXPECT_EQ(L"-2147483648", root.GetChild(3).GetAttribute(L"smallest", L""));
    EXPECT_EQ(L"default", added.GetAttribute(L"missing", L"default"));
    ASSERT_TRUE(document.Save(folder / L"order.xml"));
    const std::string saved = ReadTextFile(folder / L"order.xml");
    EXPECT_EQ("root a middle b last", ElementOrder(saved));
    // Replacing an attribute leaves one, not two.
    EXPECT_EQ(std::string::npos, saved.find("first"));
    EXPECT_EQ(saved.find("name="), saved.rfind("name="));

    ASSERT_TRUE(document.LoadXml(L"<root>lead<a/><b>inner</b>tail</root>"));
    root = document.GetDocumentElement();
    root.SetText(L"only this");
    EXPECT_EQ(1, root.NumChildren());
    EXPECT_EQ(L"only this", root.GetText());
}

TEST(XmlNodeWrapper, EmptyNodeReadsSoftlyAndRefusesChanges)
{
    CXmlNodeWrapper empty;
    EXPECT_EQ(0, empty.NumChildren());
    EXPECT_TRUE(empty.GetChild(0).IsEmpty());
    EXPECT_TRUE(empty.SelectSingleNode(L"/BackupSet").IsEmpty());
    EXPECT_EQ(L"fallback", empty.GetAttribute(L"name", L"fallback"));
    EXPECT_EQ(L"", empty.GetText());
    EXPECT_NO_THROW(empty.SetText(L"ignored"));
    EXPECT_THROW(empty.InsertNode(0, L"file"), XmlException);
    EXPECT_THROW(empty.SetAttribute(L"size", 5L), XmlException);
}

TEST(XmlNodeWrapper, SelectSingleNodeFindsAbsoluteRelativeAndPredicatePaths)
{
    CXmlDocumentWrapper document;
    ASSERT_TRUE(document.LoadXml(L"<BackupSet type='ActiveDirectory'><dbfiles>"
                                 L"<file name='ntds.dit' original='C:\\db\\ntds.dit'/>"
                                 L"<file name=\"it's.log\" original='C:\\logs\\it&apos;s.log'/>"
                                 L"</dbfiles><logfiles/></BackupSet>"));
    CXmlNodeWrapper root = document.GetDocumentElement();

    EXPECT_EQ(2, root.SelectSingleNode(L"/BackupSet/dbfiles").NumChildren());
    EXPECT_EQ(2, root.SelectSingleNode(L"dbfiles").NumChildren());
    EXPECT_EQ(L"C:\\db\\ntds.dit",
              root.SelectSingleNode(L"/BackupSet/dbfiles/file[@name='ntds.dit']").GetAttribute(L"original", L""));
    // A name holding an apostrophe can be found through the other quote.
    EXPECT_EQ(L"C:\\logs\\it's.log",
              root.SelectSingleNode(L"/BackupSet/dbfiles/file[@name=\"it's.log\"]").GetAttribute(L"original", L""));
    // XPath, not XSL Patterns: positions count from 1.
    EXPECT_EQ(L"ntds.dit", root.SelectSingleNode(L"/BackupSet/dbfiles/file[1]").GetAttribute(L"name", L""));
    EXPECT_TRUE(root.SelectSingleNode(L"/BackupSet/missing").IsEmpty());
}

TEST(XmlNodeWrapper, SelectSingleNodeWithMalformedQueriesFindsNothingAndDoesNotCrash)
{
    CXmlDocumentWrapper document;
    ASSERT_TRUE(document.LoadXml(L"<BackupSet><dbfiles><file name='a'/></dbfiles></BackupSet>"));
    CXmlNodeWrapper root = document.GetDocumentElement();

    // The lookup a component builds from a file name it does not quote.
    const String name = L"o'brien.edb";
    EXPECT_TRUE(root.SelectSingleNode(L"/BackupSet/dbfiles/file[@name='" + name + L"']").IsEmpty());
    // Outside the accepted grammar: never handed to the DOM.
    for (const wchar_t* query : {L"", L"a[", L"//", L"/BackupSet/dbfiles/file[@name='a'", L"count(/BackupSet)",
                                 L"/BackupSet/dbfiles/file[position()=1]", L"/BackupSet | /none"})
    {
        EXPECT_TRUE(root.SelectSingleNode(query).IsEmpty()) << Strings::ToUtf8(query);
    }
    // Accepted, and fatal to the DOM in its default selection language.
    for (const wchar_t* query : {L"/BackupSet/dbfiles/file[or]", L"/BackupSet/dbfiles/file[ns:a]"})
    {
        EXPECT_TRUE(root.SelectSingleNode(query).IsEmpty()) << Strings::ToUtf8(query);
    }
    EXPECT_FALSE(root.SelectSingleNode(L"/BackupSet/dbfiles/file[@name='a']").IsEmpty());
}
