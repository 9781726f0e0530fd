// Names a SysVol restore lets into the live tree. The restore's refusals are driven with crafted
// backups by the lab's hostile test; here, the borders of each rule.

#include "sysvol/SystemVolumeNames.h"

#include <gtest/gtest.h>

TEST(SystemVolumeNames, DeviceNamesAreRefusedWithAnyExtensionCaseOrBlanksBeforeTheDot)
{
    for (const wchar_t* name : {L"CON", L"con", L"Prn", L"aux", L"NUL", L"nul.txt", L"aux .bat", L"CON.tar.gz", L"COM1",
                                L"com9.ini", L"LPT1", L"lpt9", L"COM0", L"LPT0", L"COM\u00B9", L"LPT\u00B3.log", L"CONIN$", L"conout$.x"})
        EXPECT_FALSE(SystemVolumeNames::IsPlain(name)) << name;
}

TEST(SystemVolumeNames, NamesThatOnlyResembleDevicesAreHeld)
{
    for (const wchar_t* name : {L"CONX", L"con2.txt", L"xcon", L"nulled.ini", L"COM10", L"LPT00", L"LPT", L"COM",
                                L"aux-tools.cmd", L"CONIN", L"CONOUT$$", L".CON", L"x.CON", L"COM\u00B4"})
        EXPECT_TRUE(SystemVolumeNames::IsPlain(name)) << name;
}

TEST(SystemVolumeNames, ReservedCharactersControlCharactersAndTrailingDotsOrBlanksAreRefused)
{
    for (const wchar_t* name : {L"a<b", L"a>b", L"a:b", L"logon.bat:evil.exe", L"a\"b", L"a/b", L"a\\b", L"a|b", L"a?b",
                                L"*", L"tab\tname", L"\x1f", L"logon.bat.", L"logon.bat ", L"name. .", L".", L"..", L" "})
        EXPECT_FALSE(SystemVolumeNames::IsPlain(name)) << name;
    EXPECT_FALSE(SystemVolumeNames::IsPlain(String()));
    EXPECT_FALSE(SystemVolumeNames::IsPlain(String(1, L'\0')));
}

TEST(SystemVolumeNames, OrdinaryNamesAreHeldUpTo255Characters)
{
    for (const wchar_t* name : {L"GPT.INI", L"x. y", L" leading blank", L"~$temp", L"{31B2F340-016D-11D2-945F-00C04FB984F9}",
                                L"Δοκιμή 日本.dat", L"O'Brien's scripts", L"a.b.c", L"#%&+,;=@[]^`{}~"})
        EXPECT_TRUE(SystemVolumeNames::IsPlain(name)) << name;
    EXPECT_TRUE(SystemVolumeNames::IsPlain(String(255, L'x')));
    EXPECT_FALSE(SystemVolumeNames::IsPlain(String(256, L'x')));
}

TEST(SystemVolumeNames, PathsHoldPlainNamesUpToTheirDepth)
{
    EXPECT_TRUE(SystemVolumeNames::IsPlainPath(L"sysvol\\example.com", 2));
    EXPECT_FALSE(SystemVolumeNames::IsPlainPath(L"sysvol\\example.com", 1));
    EXPECT_TRUE(SystemVolumeNames::IsPlainPath(L"domain", 1));
    for (const wchar_t* path : {L"", L"\\domain", L"domain\\", L"a\\\\b", L"sysvol\\CON", L"C:\\x", L"sysvol\\..\\x",
                                L"sysvol.\\x", L"sysvol/x"})
        EXPECT_FALSE(SystemVolumeNames::IsPlainPath(path, 64)) << path;

    String deep;
    for (int part = 0; part < 64; ++part)
        deep += deep.empty() ? L"d" : L"\\d";
    EXPECT_TRUE(SystemVolumeNames::IsPlainPath(deep, 64));
    EXPECT_FALSE(SystemVolumeNames::IsPlainPath(deep + L"\\d", 64));
}
