// Folder links: the junction data written for Windows Server 2003, and what making one leaves
// behind when the file system refuses (Wine makes no links; the lab's SysVol tests resolve the
// folders that the lab's machines hold).

#include "files/Links.h"

#include "common/ScratchDirectory.h"
#include "files/Directories.h"
#include "files/Paths.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{
    WORD WordAt(const std::vector<BYTE>& data, size_t offset)
    {
        WORD value;
        std::memcpy(&value, data.data() + offset, sizeof(value));
        return value;
    }

    String NameAt(const std::vector<BYTE>& data, size_t offset, size_t bytes)
    {
        String name(bytes / sizeof(wchar_t), L'\0');
        std::memcpy(&name[0], data.data() + 16 + offset, bytes);
        return name;
    }
}

TEST(Links, JunctionDataNamesTheTargetAsTheSystemFollowsItAndAsItIsShown)
{
    for (const String& given : {String(L"C:\\WINDOWS\\SYSVOL\\domain"), String(L"\\\\?\\C:\\WINDOWS\\SYSVOL\\domain")})
    {
        const std::vector<BYTE> data = Links::JunctionData(given);
        const String shown = L"C:\\WINDOWS\\SYSVOL\\domain";
        const size_t substituteBytes = (shown.size() + 4) * sizeof(wchar_t);
        const size_t printBytes = shown.size() * sizeof(wchar_t);
        ASSERT_EQ(16 + substituteBytes + 2 + printBytes + 2, data.size()) << given;
        // Tag; data length (without tag and lengths); reserved; substitute name at 0; shown name
        // past the substitute name's NUL.
        const size_t header[] = {IO_REPARSE_TAG_MOUNT_POINT & 0xFFFF, IO_REPARSE_TAG_MOUNT_POINT >> 16, data.size() - 8, 0,
                                 0, substituteBytes, substituteBytes + 2, printBytes};
        for (size_t word = 0; word < 8; ++word)
            EXPECT_EQ(header[word], WordAt(data, 2 * word)) << "word " << word;
        EXPECT_EQ(L"\\??\\" + shown + L'\0', NameAt(data, 0, substituteBytes + 2));
        EXPECT_EQ(shown + L'\0', NameAt(data, substituteBytes + 2, printBytes + 2));
    }
    EXPECT_TRUE(Links::JunctionData(L"C:\\" + String(8200, L'x')).empty()) << "past the 16 KiB of a reparse point";
}

TEST(Links, AFolderLinkIsMadeWholeOrNotAtAll)
{
    ScratchDirectory scratch;
    const String target = scratch / L"target";
    ASSERT_TRUE(Directories::Create(target));
    WriteTextFile(target + L"\\inside.txt", "inside");
    const String link = scratch / L"link";
    if (Links::CreateFolderLink(link, target))
    {
        EXPECT_TRUE(Links::IsLink(link));
        EXPECT_EQ("inside", ReadTextFile(link + L"\\inside.txt"));
        EXPECT_TRUE(Paths::IsSameObject(link, target));
        RemoveDirectoryW(link.c_str());
    }
    else
    {
        EXPECT_NE(0u, GetLastError());
        EXPECT_FALSE(Paths::Exists(link)) << "the folder made for the link is gone again";
    }
    EXPECT_FALSE(Links::CreateFolderLink(scratch / L"no such parent\\link", target));
    EXPECT_FALSE(Paths::Exists(scratch / L"no such parent"));
    WriteTextFile(scratch / L"taken", "a file");
    EXPECT_FALSE(Links::CreateFolderLink(scratch / L"taken", target)) << "a name in use is not replaced";
    EXPECT_EQ("a file", ReadTextFile(scratch / L"taken"));
}
