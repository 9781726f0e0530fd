// Names a restore lets into a live folder. The restores' refusals are driven with crafted backups
// by the lab's hostile test; here, the borders of each rule.

#include "files/Paths.h"

#include <gtest/gtest.h>

#include <utility>

using Names = std::initializer_list<String>;

TEST(PlainNames, DevicesReservedAndControlCharactersAndTrailingDotsOrBlanksAreRefusedTheirLookalikesHeld)
{
    // Device names with any extension, case or blanks before the dot.
    for (const String& name : Names{L"CON", L"con", L"Prn", L"aux", L"NUL", L"nul.txt", L"aux .bat", L"CON.tar.gz",
                                    L"COM1", L"com9.ini", L"LPT1", L"lpt9", L"COM0", L"LPT0", L"COM\u00B9", L"LPT\u00B3.log",
                                    L"CONIN$", L"conout$.x", L"CLOCK$", L"clock$.txt", L"a<b", L"a>b", L"a:b",
                                    L"logon.bat:evil.exe", L"a\"b", L"a/b", L"a\\b", L"a|b", L"a?b", L"*", L"tab\tname",
                                    L"\x1f", L"logon.bat.", L"logon.bat ", L"name. .", L".", L"..", L" ", L"",
                                    String(1, L'\0'), String(256, L'x')})
        EXPECT_FALSE(Paths::IsPlainName(name)) << Strings::ToUtf8(name);
    for (const String& name : Names{L"CONX", L"con2.txt", L"xcon", L"nulled.ini", L"COM10", L"LPT00", L"LPT", L"COM",
                                    L"aux-tools.cmd", L"CONIN", L"CONOUT$$", L".CON", L"x.CON", L"COM\u00B4", L"GPT.INI",
                                    L"x. y", L" leading blank", L"~$temp", L"{31B2F340-016D-11D2-945F-00C04FB984F9}",
                                    L"Δοκιμή 日本.dat", L"O'Brien's scripts", L"a.b.c", L"#%&+,;=@[]^`{}~",
                                    String(255, L'x')})
        EXPECT_TRUE(Paths::IsPlainName(name)) << Strings::ToUtf8(name);
}

TEST(PlainNames, PathsHoldPlainNamesUpToTheirDepth)
{
    String deep = L"d";
    for (int part = 1; part < 64; ++part)
        deep += L"\\d";
    for (const auto& held : {std::make_pair(String(L"sysvol\\example.com"), 2), std::make_pair(String(L"domain"), 1),
                             std::make_pair(deep, 64)})
        EXPECT_TRUE(Paths::IsPlainRelativePath(held.first, held.second)) << Strings::ToUtf8(held.first);
    for (const String& path : Names{L"", L"\\domain", L"domain\\", L"a\\\\b", L"sysvol\\CON", L"C:\\x", L"sysvol\\..\\x",
                                    L"sysvol.\\x", L"sysvol/x", deep + L"\\d"})
        EXPECT_FALSE(Paths::IsPlainRelativePath(path, 64)) << Strings::ToUtf8(path);
    EXPECT_FALSE(Paths::IsPlainRelativePath(L"sysvol\\example.com", 1));
}
