// The directory manifest: the packed expiry token and the file lists. The backup and restore that
// write and read it are driven by the lab's directory test.

#include "activedirectory/ActiveDirectoryBackupSet.h"

#include "common/FileSystem.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

TEST(ActiveDirectoryBackupSet, TokensOfAnyLengthComeBackFromTheSavedManifest)
{
    ScratchDirectory folder;
    for (DWORD length : {0u, 1u, 2u, 3u, 16u, 301u})
    {
        std::vector<BYTE> token(length);
        for (DWORD i = 0; i < length; ++i)
            token[i] = static_cast<BYTE>(0xF7 - i * 13);
        const String directory = folder / Strings::Format(L"token%lu", length);
        Directories::Create(directory);
        {
            ActiveDirectoryBackupSet written(directory);
            written.Open();
            written.SetExpiration(token.data(), length);
            ASSERT_TRUE(written.Save());
        }
        ActiveDirectoryBackupSet read(directory);
        read.OpenExisting(L"No Active Directory backup in %s");
        DWORD readLength = 0xdeadbeef;
        std::vector<BYTE> readToken = read.GetExpiration(readLength);
        EXPECT_EQ(length, readLength);
        ASSERT_EQ(length + 1, readToken.size()) << length;
        EXPECT_EQ(0, readToken.back()) << "the extra byte";
        readToken.pop_back();
        EXPECT_EQ(token, readToken) << length;
    }
}

TEST(ActiveDirectoryBackupSet, TheTokenIsStoredAsTwoBase64CharactersToAUnit)
{
    ScratchDirectory folder;
    ActiveDirectoryBackupSet set(folder.Path());
    set.Open();
    const BYTE abc[] = {'a', 'b', 'c'};   // Base64 "YWJj"
    set.SetExpiration(abc, 3);
    ASSERT_TRUE(set.Save());
    const std::string xml = ReadTextFile(folder / L"ActiveDirectoryBackupSet.xml");
    EXPECT_NE(std::string::npos, xml.find("size=\"3\">" + Strings::ToUtf8(L"\x5759\x6A4A") + "</expiration>")) << xml;
}

TEST(ActiveDirectoryBackupSet, FilesAreListedNewestFirstWithTheirMarkers)
{
    ScratchDirectory folder;
    {
        ActiveDirectoryBackupSet set(folder.Path());
        set.Open();
        EXPECT_EQ("BackupSet expiration dbfiles logfiles", ElementOrder(ReadTextFile(set.GetFilePath())));
        set.AddLogFile(L"edb00001.log", L"C:\\NTDS\\edb00001.log", 0x21);
        set.AddLogFile(L"NTDS", L"C:\\NTDS", 0x82);
        set.AddLogFile(L"edb00002.log", L"C:\\NTDS\\edb00002.log", 0x21);
        set.AddDatabaseFile(L"ntds.dit", L"C:\\NTDS\\ntds.dit", 0x44);
        set.AddDatabaseFile(L"o'brien.dit", L"C:\\NTDS\\o'brien.dit", 0x40);
        ASSERT_TRUE(set.Save());
    }
    const std::string xml = ReadTextFile(folder / L"ActiveDirectoryBackupSet.xml");
    EXPECT_NE(std::string::npos, xml.find("<file name=\"ntds.dit\" bft=\"68\" original=\"C:\\NTDS\\ntds.dit\"/>")) << xml;

    ActiveDirectoryBackupSet set(folder.Path());
    set.OpenExisting(L"No Active Directory backup in %s");
    EXPECT_EQ(String(L"\x21" L"C:\\NTDS\\edb00002.log") + L'\0' + L"\x82" L"C:\\NTDS" + L'\0' +
                  L"\x21" L"C:\\NTDS\\edb00001.log" + L'\0',
              set.GetLogFiles());
    EXPECT_EQ(String(L"\x40" L"C:\\NTDS\\o'brien.dit") + L'\0' + L"\x44" L"C:\\NTDS\\ntds.dit" + L'\0',
              set.GetDatabaseFiles());
    EXPECT_EQ(L"C:\\NTDS\\ntds.dit", set.GetDatabaseFile(L"ntds.dit").original);
    EXPECT_EQ(L"", set.GetDatabaseFile(L"edb00001.log").original) << "only the database list is searched";
    // The name goes into the query unquoted: one with an apostrophe finds nothing, and never
    // reaches the DOM malformed.
    const BackupFileRecord hostile = set.GetDatabaseFile(L"o'brien.dit");
    EXPECT_EQ(L"o'brien.dit", hostile.name);
    EXPECT_EQ(L"", hostile.original);
}

namespace
{
    const wchar_t* const NoBackup = L"No Active Directory backup in %s";

    // A manifest as a crafted backup may hold it, written without the DOM.
    void WriteManifest(const ScratchDirectory& folder, const std::string& expiration, const std::string& logs)
    {
        WriteTextFile(folder / L"ActiveDirectoryBackupSet.xml",
                      "<?xml version=\"1.0\"?>\r\n<BackupSet type=\"ActiveDirectory\">" + expiration +
                          "<dbfiles/><logfiles>" + logs + "</logfiles></BackupSet>");
    }

    std::string LogEntries(unsigned long count)
    {
        std::string entries;
        char entry[128];
        for (unsigned long i = 1; i <= count; ++i)
        {
            snprintf(entry, sizeof entry, "<file name=\"edb%05lX.log\" bft=\"33\" original=\"C:\\NTDS\\edb%05lX.log\"/>",
                     i, i);
            entries += entry;
        }
        return entries;
    }

    size_t EntryCount(const String& list)
    {
        return static_cast<size_t>(std::count(list.begin(), list.end(), L'\0'));
    }
}

TEST(ActiveDirectoryBackupSet, ATokenSizeLargerThanItsTextIsRefusedBeforeAnythingIsSizedByIt)
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
    const String damaged = L"The expiry token in " + (folder / L"ActiveDirectoryBackupSet.xml") +
                           L" is damaged: its recorded size is larger than its text holds";
    // 2^32 - 1 asked for 4 GiB; 2^64 + 16 wrapped to 16 and passed as whole.
    for (const char* recorded : {"17", "18", "4294967295", "4294967296", "18446744073709551632",
                                 "99999999999999999999999999999999999999"})
    {
        std::string text = saved;
        text.replace(size, 9, std::string("size=\"") + recorded + "\"");
        WriteTextFile(folder / L"ActiveDirectoryBackupSet.xml", text);
        ActiveDirectoryBackupSet read(folder.Path());
        read.OpenExisting(NoBackup);
        DWORD length = 0xdeadbeef;
        EXPECT_EQ(damaged, MessageOf<ActiveDirectoryBackupSetException>([&] { read.GetExpiration(length); }))
            << recorded;
        EXPECT_EQ(0xdeadbeefu, length) << recorded;
    }
    // A smaller size cuts the token short, for the API to judge; none gives no token.
    for (const auto& recorded : {std::make_pair("15", 15u), std::make_pair("", 0u), std::make_pair("x16", 0u)})
    {
        std::string text = saved;
        text.replace(size, 9, std::string("size=\"") + recorded.first + "\"");
        WriteTextFile(folder / L"ActiveDirectoryBackupSet.xml", text);
        ActiveDirectoryBackupSet read(folder.Path());
        read.OpenExisting(NoBackup);
        DWORD length = 0xdeadbeef;
        const std::vector<BYTE> back = read.GetExpiration(length);
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
        WriteManifest(folder, "<expiration/>", LogEntries(count));
        ActiveDirectoryBackupSet read(folder.Path());
        read.OpenExisting(NoBackup);
        const auto start = std::chrono::steady_clock::now();
        list = read.GetLogFiles();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    String small;
    String large;
    const double smallTime = timedRead(ActiveDirectoryBackupSet::MostFiles / 10, small);
    const double largeTime = timedRead(ActiveDirectoryBackupSet::MostFiles, large);
    EXPECT_EQ(ActiveDirectoryBackupSet::MostFiles / 10, EntryCount(small));
    ASSERT_EQ(ActiveDirectoryBackupSet::MostFiles, EntryCount(large));
    EXPECT_EQ(String(L"\x21" L"C:\\NTDS\\edb186A0.log"), large.substr(large.size() - 22, 21)) << "the last entry";
    // Ten times the entries: about ten times the time when linear, a hundred when quadratic.
    EXPECT_LT(largeTime, 30 * smallTime + 0.05) << smallTime << " s, then " << largeTime << " s";
}

// Refusals of markers and paths past their limits are in the hostile lab test (marker-zero,
// long-path); here, what a hand-edited list may hold besides its files.
TEST(ActiveDirectoryBackupSet, OnlyFileElementsAreEntriesAndTheLargestMarkerPasses)
{
    ScratchDirectory folder;
    WriteManifest(folder, "<expiration/>",
                  "\r\n  <!-- x --><file bft=\"33\" original=\"C:\\a\"/><?pi x?>text<other bft=\"0\"/>"
                  "<file bft=\"65535\" original=\"C:\\b\"/>\r\n");
    ActiveDirectoryBackupSet set(folder.Path());
    set.OpenExisting(NoBackup);
    EXPECT_EQ(String(L"\x21" L"C:\\a") + L'\0' + L"\xFFFF" L"C:\\b" + L'\0', set.GetLogFiles());
}
