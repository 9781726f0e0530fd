#include "registry/RegistryService.h"

#include "ScratchKey.h"

using namespace RegistryTest;

namespace
{
    class FindStart : public ScratchKey
    {
    protected:
        // FindStart on a key below the scratch key; start is preset to a sentinel.
        bool Find(const String& sub, int& start)
        {
            start = 0x5eed;
            return RegistryService::FindStart(HKEY_CURRENT_USER, Path(sub), start);
        }
    };
}

TEST_F(FindStart, ReadsADwordStartOfTheKeyItselfWhateverTheNamesCase)
{
    SetRaw(L"Svc", L"DisplayName", REG_SZ, ToBytes(L"A service"));
    SetDword(L"Svc", L"START", 3);
    SetDword(L"Svc\\Parameters", L"Start", 1);
    int start = 0;
    EXPECT_TRUE(Find(L"Svc", start));
    EXPECT_EQ(3, start);

    // Start numbers compare as signed values.
    SetDword(L"Negative", L"Start", 0xFFFFFFFF);
    EXPECT_TRUE(Find(L"Negative", start));
    EXPECT_EQ(-1, start);
}

TEST_F(FindStart, ReadsAnyOtherTypeAsTheDecimalNumberItsTextBeginsWith)
{
    const struct
    {
        const wchar_t* name;
        DWORD type;
        Bytes data;
        int expected;
    } cases[] = {
        {L"String", REG_SZ, ToBytes(L"2"), 2},
        {L"Trailing", REG_SZ, ToBytes(L"12 (auto)"), 12},
        {L"Negative", REG_EXPAND_SZ, ToBytes(L"-4"), -4},
        {L"NotANumber", REG_SZ, ToBytes(L"auto"), 0},
        {L"Empty", REG_SZ, ToBytes(L""), 0},
        {L"Multi", REG_MULTI_SZ,
         ToBytes(String(L"7\0"
                        L"9\0",
                        4)),
         7},
        // Binary data reads as its hexadecimal text: bytes 04 00 give "0400".
        {L"Binary", REG_BINARY, {0x04, 0x00}, 400},
        // The text of a big-endian DWORD is "A number", which is no number.
        {L"BigEndian", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 2}, 0},
    };
    for (const auto& item : cases)
    {
        SetRaw(item.name, L"start", item.type, item.data);
        int start = 0;
        EXPECT_TRUE(Find(item.name, start)) << Strings::ToUtf8(item.name);
        EXPECT_EQ(item.expected, start) << Strings::ToUtf8(item.name);
    }
}

TEST_F(FindStart, SearchesSubkeysDepthFirstInEnumerationOrder)
{
    // A's subtree is searched completely before B: A\Deep\Deeper wins over B.
    SetRaw(L"Driver", L"Type", REG_DWORD, {1, 0, 0, 0});
    SetDword(L"Driver\\A\\Deep\\Deeper", L"Start", 4);
    SetDword(L"Driver\\B", L"Start", 1);
    CreateKey(L"Driver\\A\\Empty");
    int start = 0;
    EXPECT_TRUE(Find(L"Driver", start));
    EXPECT_EQ(4, start);

    EXPECT_TRUE(Find(L"Driver\\B", start));
    EXPECT_EQ(1, start);
}

TEST_F(FindStart, FindsNothingInATreeWithoutAStartValue)
{
    SetRaw(L"Counters", L"Library", REG_SZ, ToBytes(L"perf.dll"));
    SetRaw(L"Counters\\Performance", L"Started", REG_DWORD, {1, 0, 0, 0});
    SetRaw(L"Counters\\Performance\\Linkage", L"starts", REG_SZ, ToBytes(L"1"));
    int start = 0;
    EXPECT_FALSE(Find(L"Counters", start));
    CreateKey(L"Bare");
    EXPECT_FALSE(Find(L"Bare", start));
}

TEST_F(FindStart, AMissingKeyThrowsTheKeyWrappersException)
{
    int start = 0;
    const CRegistryKey::Exception error = CatchKeyException([&] { Find(L"Missing", start); });
    ExpectFailure(error, L"CRegistryKey::CRegistryKey(HKEY hKey ...)", ERROR_FILE_NOT_FOUND);
}
