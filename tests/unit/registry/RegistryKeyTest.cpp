#include "registry/RegistryKey.h"

#include "ScratchKey.h"

using namespace RegistryTest;

namespace
{
    const wchar_t* const WhereOpen = L"CRegistryKey::CRegistryKey(HKEY hKey ...)";
    const wchar_t* const WhereQueryValue = L"CRegistryKey::QueryValue()";
    const wchar_t* const WhereSetValue = L"CRegistryKey::SetValue()";

    class RegistryKey : public ScratchKey
    {
    protected:
        CRegistryKey Scratch(REGSAM access = KEY_READ) const { return CRegistryKey(HKEY_CURRENT_USER, Path(), access); }
    };
}

TEST_F(RegistryKey, CopiesShareOneHandleThatClosesWithTheLastOwner)
{
    HKEY handle = nullptr;
    {
        CRegistryKey first = Scratch();
        handle = first.GetHandle();
        CRegistryKey copy(first);
        CRegistryKey other = Scratch();
        EXPECT_NE(handle, other.GetHandle());
        other = copy;
        other = other;
        EXPECT_EQ(handle, other.GetHandle());
        first = Scratch();
        EXPECT_NE(handle, first.GetHandle());
        EXPECT_TRUE(HandleIsOpen(handle));
    }
    EXPECT_FALSE(HandleIsOpen(handle));
    // Wrapping a predefined root is harmless: closing it has no effect.
    CreateKey(L"Child\\Grandchild");
    EXPECT_TRUE(CRegistryKey(HKEY_CURRENT_USER).SubkeyExists(Path(L"child\\GRANDCHILD"), KEY_READ));
    EXPECT_FALSE(Scratch().SubkeyExists(L"Child\\Missing", KEY_READ));
    EXPECT_TRUE(KeyExists(L""));
    ExpectKeyFailure(WhereOpen, ERROR_FILE_NOT_FOUND, [&] { CRegistryKey(HKEY_CURRENT_USER, Path(L"Missing"), KEY_READ); });
}

TEST_F(RegistryKey, QueriesReadTheirOwnTypesWholeAndLeaveOthersAlone)
{
    const String longText(5000, L'q');
    SetRaw(L"", L"", REG_SZ, ToBytes(L"default"));
    SetRaw(L"", L"expand", REG_EXPAND_SZ, ToBytes(L"%SystemRoot%\\x"));
    SetRaw(L"", L"long", REG_SZ, ToBytes(longText));
    SetRaw(L"", L"unterminated", REG_SZ, ToBytes(L"abc", false));
    SetRaw(L"", L"multi", REG_MULTI_SZ, ToBytes(String(L"a\0b\0", 4)));
    SetDword(L"", L"little", 0x01020304);
    SetDword(L"", L"big", 0x0A0B0C0D, REG_DWORD_BIG_ENDIAN);
    SetRaw(L"", L"bin", REG_BINARY, {1, 2, 3, 4});
    SetRaw(L"", L"short", REG_DWORD, {1, 2});
    const CRegistryKey key = Scratch();

    // Text: strings whole; a number or a list is not read and leaves the sentinel.
    const std::pair<const wchar_t*, const wchar_t*> texts[] = {
        {L"", L"default"}, {L"expand", L"%SystemRoot%\\x"}, {L"long", longText.c_str()}, {L"unterminated", L"abc"},
        {L"little", nullptr}, {L"multi", nullptr}};
    for (const auto& item : texts)
    {
        String text = L"sentinel";
        EXPECT_EQ(item.second != nullptr, key.QueryValue(item.first, text)) << Strings::ToUtf8(item.first);
        EXPECT_EQ(item.second != nullptr ? item.second : L"sentinel", text) << Strings::ToUtf8(item.first);
    }
    // Numbers: four-byte DWORDs of either byte order, taken raw.
    const std::pair<const wchar_t*, DWORD> numbers[] = {
        {L"little", 0x01020304u}, {L"big", 0x0A0B0C0Du}, {L"expand", 0xdeadbeef}, {L"bin", 0xdeadbeef}};
    for (const auto& item : numbers)
    {
        DWORD number = 0xdeadbeef;
        EXPECT_EQ(item.second != 0xdeadbeef, key.QueryValue(item.first, number)) << Strings::ToUtf8(item.first);
        EXPECT_EQ(item.second, number) << Strings::ToUtf8(item.first);
    }
    String text = L"sentinel";
    DWORD number = 0xdeadbeef;
    ExpectKeyFailure(WhereQueryValue, ERROR_FILE_NOT_FOUND, [&] { key.QueryValue(L"missing", text); });
    ExpectKeyFailure(WhereQueryValue, ERROR_FILE_NOT_FOUND, [&] { key.QueryValue(L"missing", number); });
    ExpectKeyFailure(WhereQueryValue, 0, [&] { key.QueryValue(L"short", number); });
    EXPECT_EQ(L"sentinel", text);
    EXPECT_EQ(0xdeadbeefu, number);
}

TEST_F(RegistryKey, SetValueWritesTextWithItsNullNumbersAsFourBytesAndNothingOnFailure)
{
    CRegistryKey readOnly = Scratch();
    ExpectKeyFailure(WhereSetValue, ERROR_ACCESS_DENIED, [&] { readOnly.SetValue(L"text", L"x", REG_SZ); });
    ExpectKeyFailure(WhereSetValue, ERROR_ACCESS_DENIED, [&] { readOnly.SetValue(L"number", 1u, REG_DWORD); });
    CRegistryKey key = Scratch(KEY_ALL_ACCESS);
    ExpectKeyFailure(WhereSetValue, ERROR_INVALID_FLAGS, [&] { key.SetValue(L"text", L"12", REG_DWORD); });
    ExpectKeyFailure(WhereSetValue, ERROR_INVALID_FLAGS, [&] { key.SetValue(L"number", 12u, REG_SZ); });
    EXPECT_TRUE(Dump(L"").at(L"").values.empty());

    key.SetValue(L"sz", L"hello", REG_SZ);
    key.SetValue(L"expand", L"%TEMP%", REG_EXPAND_SZ);
    key.SetValue(L"empty", L"", REG_SZ);
    key.SetValue(L"dword", 0xCAFEF00Du, REG_DWORD);
    key.SetValue(L"big", 0x11223344u, REG_DWORD_BIG_ENDIAN);
    const std::map<String, RawValue> expected = {{L"sz", {REG_SZ, ToBytes(L"hello")}},
                                                 {L"expand", {REG_EXPAND_SZ, ToBytes(L"%TEMP%")}},
                                                 {L"empty", {REG_SZ, {0, 0}}},
                                                 {L"dword", {REG_DWORD, {0x0D, 0xF0, 0xFE, 0xCA}}},
                                                 {L"big", {REG_DWORD_BIG_ENDIAN, {0x44, 0x33, 0x22, 0x11}}}};
    EXPECT_EQ(expected, Dump(L"").at(L"").values);
}

TEST_F(RegistryKey, DeleteKeyTakesOnlyLeavesAndDeleteKeyTreeWholeTrees)
{
    // Several siblings at each level: every deletion shifts the enumeration under the walk.
    for (const wchar_t* sub : {L"Leaf", L"Tree\\A\\A1\\A11", L"Tree\\A\\A2", L"Tree\\B", L"Tree\\C\\C1",
                               L"Tree\\C\\C2\\C21", L"Tree\\C\\C3", L"Keep\\K1"})
        CreateKey(sub);
    SetDword(L"Tree\\C\\C2\\C21", L"deep", 2);
    SetDword(L"Keep\\K1", L"k", 3);
    CRegistryKey key = Scratch(KEY_ALL_ACCESS);
    key.DeleteKey(L"Leaf");
    EXPECT_FALSE(KeyExists(L"Leaf"));
    const RawTree before = Dump(L"");
    ExpectKeyFailure(L"CRegistryKey::DeleteKey()", ERROR_ACCESS_DENIED, [&] { key.DeleteKey(L"Tree"); });
    EXPECT_EQ(before, Dump(L""));

    key.DeleteKeyTree(L"Tree\\C");
    EXPECT_TRUE(KeyExists(L"Tree\\B"));
    EXPECT_FALSE(KeyExists(L"Tree\\C"));
    key.DeleteKeyTree(L"Tree");
    RawTree expected;
    expected[L""];
    expected[L"Keep"];
    expected[L"Keep\\K1"].values[L"k"] = RawValue{REG_DWORD, {3, 0, 0, 0}};
    EXPECT_EQ(expected, Dump(L""));
}

using RegistryFunctions = ScratchKey;

TEST_F(RegistryFunctions, GetMultiStringReadsEveryStringOrReportsFunctionFailedLeavingTheListAlone)
{
    StringList many;
    String raw;
    for (int i = 0; i < 300; ++i)
    {
        many.push_back(Strings::Format(L"Path\\Number %d\\", i));
        raw += many.back() + L'\0';
    }
    SetRaw(L"", L"many", REG_MULTI_SZ, ToBytes(raw));
    // Without the list's final empty string, and without the last string's own null.
    SetRaw(L"", L"unterminated", REG_MULTI_SZ, ToBytes(String(L"one\0two", 7), false));
    SetRaw(L"", L"emptylist", REG_MULTI_SZ, {0, 0});
    SetRaw(L"", L"stopsatempty", REG_MULTI_SZ, ToBytes(String(L"a\0\0b\0", 5)));
    const std::map<String, StringList> lists = {
        {L"many", many}, {L"unterminated", {L"one", L"two"}}, {L"stopsatempty", {L"a"}}, {L"emptylist", {}}};
    for (const auto& item : lists)
    {
        StringList list = {L"sentinel"};
        EXPECT_EQ(ERROR_SUCCESS, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), item.first, list));
        EXPECT_EQ(item.second, list) << Strings::ToUtf8(item.first);
    }
    StringList list = {L"sentinel"};
    EXPECT_EQ(ERROR_FUNCTION_FAILED, Registry::GetMultiString(HKEY_CURRENT_USER, Path(L"Missing"), L"many", list));
    EXPECT_EQ(ERROR_FUNCTION_FAILED, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), L"missing", list));
    EXPECT_EQ(StringList{L"sentinel"}, list);
}
