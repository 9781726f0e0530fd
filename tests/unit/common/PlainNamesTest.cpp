// Names a restore lets into a live folder. The restores' refusals are driven with crafted backups
// by the lab's hostile test; here, the borders of each rule.

#include "common/FileSystem.h"

#include <gtest/gtest.h>

TEST(PlainNames, DeviceNamesAreRefusedWithAnyExtensionCaseOrBlanksBeforeTheDot)
{
    for (const wchar_t* name : {L"CON", L"con", L"Prn", L"aux", L"NUL", L"nul.txt", L"aux .bat", L"CON.tar.gz", L"COM1",
                                L"com9.ini", L"LPT1", L"lpt9", L"COM0", L"LPT0", L"COM\u00B9", L"LPT\u00B3.log", L"CONIN$", L"conout$.x", L"CLOCK$", L"clock$.txt"})
        EXPECT_FALSE(Paths::IsPlainName(name)) << name;
}

TEST(PlainNames, NamesThatOnlyResembleDevicesAreHeld)
{
    for (const wchar_t* name : {L"CONX", L"con2.txt", L"xcon", L"nulled.ini", L"COM10", L"LPT00", L"LPT", L"COM",
                                L"aux-tools.cmd", L"CONIN", L"CONOUT$$", L".CON", L"x.CON", L"COM\u00B4"})
        EXPECT_TRUE(Paths::IsPlainName(name)) << name;
}

TEST(PlainNames, ReservedCharactersControlCharactersAndTrailingDotsOrBlanksAreRefused)
{
    for (const wchar_t* name : {L"a<b", L"a>b", L"a:b", L"logon.bat:evil.exe", L"a\"b", L"a/b", L"a\\b", L"a|b", L"a?b",
                                L"*", L"tab\tname", L"\x1f", L"logon.bat.", L"logon.bat ", L"name. .", L".", L"..", L" "})
        EXPECT_FALSE(Paths::IsPlainName(name)) << name;
    EXPECT_FALSE(Paths::IsPlainName(String()));
    EXPECT_FALSE(Paths::IsPlainName(String(1, L'\0')));
}

TEST(PlainNames, OrdinaryNamesAreHeldUpTo255Characters)
{
    for (const wchar_t* name : {L"GPT.INI", L"x. y", L" leading blank", L"~$temp", L"{31B2F340-016D-11D2-945F-00C04FB984F9}",
                                L"Δοκιμή 日本.dat", L"O'Brien's scripts", L"a.b.c", L"#%&+,;=@[]^`{}~"})
        EXPECT_TRUE(Paths::IsPlainName(name)) << name;
    EXPECT_TRUE(Paths::IsPlainName(String(255, L'x')));
    EXPECT_FALSE(Paths::IsPlainName(String(256, L'x')));
}

TEST(PlainNames, PathsHoldPlainNamesUpToTheirDepth)
{
    EXPECT_TRUE(Paths::IsPlainRelativePath(L"sysvol\\example.com", 2));
    EXPECT_FALSE(Paths::IsPlainRelativePath(L"sysvol\\example.com", 1));
    EXPECT_TRUE(Paths::IsPlainRelativePath(L"domain", 1));
    for (const wchar_t* path : {L"", L"\\domain", L"domain\\", L"a\\\\b", L"sysvol\\CON", L"C:\\x", L"sysvol\\..\\x",
                                L"sysvol.\\x", L"sysvol/x"})
        EXPECT_FALSE(Paths::IsPlainRelativePath(path, 64)) << path;

    String deep;
    for (int part = 0; part < 64; ++part)
        deep += deep.empty() ? L"d" : L"\\d";
    EXPECT_TRUE(Paths::IsPlainRelativePath(deep, 64));
    EXPECT_FALSE(Paths::IsPlainRelativePath(deep + L"\\d", 64));
}
