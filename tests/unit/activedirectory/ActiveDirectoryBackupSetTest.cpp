// The directory manifest: the packed expiry token and the file lists. The backup and restore that
// write and read it (files newest first with their markers, a token of the lab's length) are
// driven by the lab's directory test, tokens and lists past their limits by the hostile test.

#include "activedirectory/ActiveDirectoryBackupSet.h"

#include "common/ScratchDirectory.h"
#include "files/Directories.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace
{
    const wchar_t* const NoBackup = L"No Active Directory backup in %s";

    // A manifest as a crafted backup may hold it, written without the DOM.
    void WriteManifest(const String& folder, const std::string& expiration, const std::string& logs)
    {
        WriteTextFile(folder + L"\\ActiveDirectoryBackupSet.xml",
                      "<?xml version=\"1.0\"?>\r\n<BackupSet type=\"ActiveDirectory\">" + expiration +
                          "<dbfiles/><logfiles>" + logs + "</logfiles></BackupSet>");
    }

    std::vector<BYTE> ReadToken(const String& folder, DWORD& length)
    {
        ActiveDirectoryBackupSet read(folder);
        read.OpenExisting(NoBackup);
        return read.GetExpiration(length);
    }
}

// Two bytes to a character: an odd length leaves half a unit, which must come back.
TEST(ActiveDirectoryBackupSet, TokensOfAnyLengthComeBackPackedTwoBase64CharactersToAUnit)
{
    ScratchDirectory folder;
    for (DWORD length : {0u, 1u, 2u, 3u, 16u, 301u})
    {
        std::vector<BYTE> token(length);
        for (DWORD i = 0; i < length; ++i)
            token[i] = static_cast<BYTE>(length == 3 ? 'a' + i : 0xF7 - i * 13);
        const String directory = folder / Strings::Format(L"token%lu", length);
        Directories::Create(directory);
        {
            ActiveDirectoryBackupSet written(directory);
            written.Open();
            written.SetExpiration(token.data(), length);
            ASSERT_TRUE(written.Save());
        }
        DWORD readLength = 0xdeadbeef;
        std::vector<BYTE> readToken = ReadToken(directory, readLength);
        EXPECT_EQ(length, readLength);
        ASSERT_EQ(length + 1, readToken.size()) << length;
        EXPECT_EQ(0, readToken.back()) << "the extra byte";
        readToken.pop_back();
        EXPECT_EQ(token, readToken) << length;
    }
    // "abc" is Base64 "YWJj", stored as the two characters U+5759 U+6A4A.
    const std::string xml = ReadTextFile(folder / L"token3\\ActiveDirectoryBackupSet.xml");
    EXPECT_NE(std::string::npos, xml.find("size=\"3\">" + Strings::ToUtf8(L"\x5759\x6A4A") + "</expiration>")) << xml;
}

// A size larger than the text is refused by the hostile test; a smaller one cuts the token short,
// for the API to judge, and none gives no token.
TEST(ActiveDirectoryBackupSet, ATokenSizeSmallerThanItsTextCutsTheTokenShort)
{
    ScratchDirectory folder;
    const BYTE token[16] = {0x4C, 0x41, 0x42, 0x58, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    {
        ActiveDirectoryBackupSet written(folder.Path());
        written.Open();
        written.SetExpiration(token, sizeof token);
        ASSERT_TRUE(written.Save());
    }
    const std::string saved = ReadTextFile(folder / L"ActiveDirectoryBackupSet.xml");
    const size_t size = saved.find("size=\"16\"");
    ASSERT_NE(std::string::npos, size) << saved;
    for (const auto& recorded : {std::make_pair("15", 15u), std::make_pair("", 0u), std::make_pair("x16", 0u)})
    {
        std::string text = saved;
        text.replace(size, 9, std::string("size=\"") + recorded.first + "\"");
        WriteTextFile(folder / L"ActiveDirectoryBackupSet.xml", text);
        DWORD length = 0xdeadbeef;
        const std::vector<BYTE> back = ReadToken(folder.Path(), length);
        EXPECT_EQ(recorded.second, length) << recorded.first;
        ASSERT_EQ(recorded.second + 1, back.size()) << recorded.first;
        EXPECT_TRUE(std::equal(back.begin(), back.end() - 1, token)) << recorded.first;
    }
}

// One more file than the limit is refused by the hostile lab test (too-many-logs).
TEST(ActiveDirectoryBackupSet, ListsAreReadInTimeLinearInTheirLengthUpToTheLimit)
{
    ScratchDirectory folder;
    const auto timedRead = [&](unsigned long count, String& list) {
        std::string entries;
        char entry[128];
        for (unsigned long i = 1; i <= count; ++i)
        {
            snprintf(entry, sizeof entry, "<file name=\"edb%05lX.log\" bft=\"33\" original=\"C:\\NTDS\\edb%05lX.log\"/>",
                     i, i);
            entries += entry;
        }
        WriteManifest(folder.Path(), "<expiration/>", entries);
        ActiveDirectoryBackupSet read(folder.Path());
        read.OpenExisting(NoBackup);
        // The fastest of three: a loaded machine only ever adds time.
        double fastest = 1e9;
        for (int run = 0; run < 3; ++run)
        {
            const auto start = std::chrono::steady_clock::now();
            list = read.GetLogFiles();
            fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        return fastest;
    };
    String small;
    String large;
    const double smallTime = timedRead(ActiveDirectoryBackupSet::MostFiles / 10, small);
    const double largeTime = timedRead(ActiveDirectoryBackupSet::MostFiles, large);
    EXPECT_EQ(ActiveDirectoryBackupSet::MostFiles / 10, static_cast<size_t>(std::count(small.begin(), small.end(), L'\0')));
    ASSERT_EQ(ActiveDirectoryBackupSet::MostFiles, static_cast<size_t>(std::count(large.begin(), large.end(), L'\0')));
    EXPECT_EQ(String(L"\x21" L"C:\\NTDS\\edb186A0.log"), large.substr(large.size() - 22, 21)) << "the last entry";
    // Ten times the entries: about ten times the time when linear, a hundred when quadratic.
    EXPECT_LT(largeTime, 30 * smallTime + 0.05) << smallTime << " s, then " << largeTime << " s";
}

// What a hand-edited list may hold besides its files, and a name looked up in the database list.
TEST(ActiveDirectoryBackupSet, OnlyFileElementsAreEntriesAndNamesAreLookedUpUnquoted)
{
    ScratchDirectory folder;
    WriteManifest(folder.Path(), "<expiration/>",
                  "\r\n  <!-- x --><file bft=\"33\" original=\"C:\\a\"/><?pi x?>text<other bft=\"0\"/>"
                  "<file bft=\"65535\" original=\"C:\\b\"/>\r\n");
    {
        ActiveDirectoryBackupSet set(folder.Path());
        set.OpenExisting(NoBackup);
        EXPECT_EQ(String(L"\x21" L"C:\\a") + L'\0' + L"\xFFFF" L"C:\\b" + L'\0', set.GetLogFiles());
    }

    Directories::Create(folder / L"lookup");
    ActiveDirectoryBackupSet set(folder / L"lookup");
    set.Open();
    EXPECT_EQ("BackupSet expiration dbfiles logfiles", ElementOrder(ReadTextFile(set.GetFilePath())));
    set.AddLogFile(L"edb00001.log", L"C:\\NTDS\\edb00001.log", 0x21);
    set.AddDatabaseFile(L"ntds.dit", L"C:\\NTDS\\ntds.dit", 0x44);
    set.AddDatabaseFile(L"o'brien.dit", L"C:\\NTDS\\o'brien.dit", 0x40);
    EXPECT_EQ(L"C:\\NTDS\\ntds.dit", set.GetDatabaseFile(L"ntds.dit").original);
    EXPECT_EQ(L"", set.GetDatabaseFile(L"edb00001.log").original) << "only the database list is searched";
    // The name goes into the query unquoted: one with an apostrophe finds nothing, and never
    // reaches the DOM malformed.
    const BackupFileRecord hostile = set.GetDatabaseFile(L"o'brien.dit");
    EXPECT_EQ(L"o'brien.dit", hostile.name);
    EXPECT_EQ(L"", hostile.original);
}
