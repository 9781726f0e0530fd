// The directory manifest: the packed expiry token and the file lists. The backup and restore that
// write and read it are driven by the lab's directory test.

#include "activedirectory/ActiveDirectoryBackupSet.h"

#include "common/FileSystem.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

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
