#include "registry/RegistryService.h"

#include "ScratchKey.h"

using namespace RegistryTest;

using FindStart = ScratchKey;

TEST_F(FindStart, ReadsTheFirstStartValueOfTheTreeAsANumber)
{
    // Each key: its values, then what FindStart answers (no answer: 0x5eed, the sentinel).
    const struct
    {
        const wchar_t* key;
        const wchar_t* name;
        DWORD type;
        Bytes data;
        int expected;
    } cases[] = {
        {L"Svc", L"START", REG_DWORD, DwordBytes(3), 3}, // any case of the name
        {L"Negative", L"Start", REG_DWORD, DwordBytes(0xFFFFFFFF), -1},
        // Any other type reads as the decimal number its text begins with.
        {L"String", L"Start", REG_SZ, ToBytes(L"2"), 2},
        {L"NotANumber", L"Start", REG_SZ, ToBytes(L"auto"), 0},
        {L"Unterminated", L"Start", REG_SZ, ToBytes(L"12", false), 12},
        {L"Odd", L"Start", REG_SZ, {'3', 0, '9'}, 3}, // text ends before an odd byte
        // Binary data reads as its hexadecimal text: bytes 04 00 give "0400".
        {L"Binary", L"Start", REG_BINARY, {0x04, 0x00}, 400},
        // Names that only look alike are no start value.
        {L"Counters\\Performance", L"Started", REG_DWORD, DwordBytes(1), 0x5eed},
        {L"Counters\\Performance\\Linkage", L"starts", REG_SZ, ToBytes(L"1"), 0x5eed},
    };
    for (const auto& item : cases)
        SetRaw(item.key, item.name, item.type, item.data);
    SetDword(L"Svc\\Parameters", L"Start", 1);
    for (const auto& item : cases)
    {
        int start = 0x5eed;
        EXPECT_EQ(item.expected != 0x5eed, RegistryService::FindStart(HKEY_CURRENT_USER, Path(item.key), start))
            << Strings::ToUtf8(item.key);
        EXPECT_EQ(item.expected, start) << Strings::ToUtf8(item.key);
    }
}

TEST_F(FindStart, SearchesSubkeysDepthFirstInEnumerationOrder)
{
    // A's subtree is searched completely before B: A\Deep\Deeper wins over B.
    SetDword(L"Driver", L"Type", 1);
    SetDword(L"Driver\\A\\Deep\\Deeper", L"Start", 4);
    SetDword(L"Driver\\B", L"Start", 1);
    CreateKey(L"Driver\\A\\Empty");
    int start = 0;
    EXPECT_TRUE(RegistryService::FindStart(HKEY_CURRENT_USER, Path(L"Driver"), start));
    EXPECT_EQ(4, start);
    ExpectKeyFailure(L"CRegistryKey::CRegistryKey(HKEY hKey ...)", ERROR_FILE_NOT_FOUND,
                     [&] { RegistryService::FindStart(HKEY_CURRENT_USER, Path(L"Missing"), start); });
}
