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
        std::map<String, RawValue> Values() const { return Dump(L"").at(L"").values; }
    };
}

TEST_F(RegistryKey, CopiesShareOneHandleThatClosesWithTheLastOwner)
{
    HKEY handle = nullptr;
    {
        CRegistryKey first(HKEY_CURRENT_USER, Path(), KEY_READ);
        handle = first.GetHandle();
        CRegistryKey copy(first);
        CRegistryKey other(HKEY_CURRENT_USER, Path(), KEY_READ);
        EXPECT_NE(handle, other.GetHandle());
        other = copy;
        other = other;
        EXPECT_EQ(handle, other.GetHandle());
        first = CRegistryKey(HKEY_CURRENT_USER, Path(), KEY_READ);
        EXPECT_NE(handle, first.GetHandle());
        EXPECT_TRUE(HandleIsOpen(handle));
    }
    EXPECT_FALSE(HandleIsOpen(handle));
    // Wrapping a predefined root is harmless: closing it has no effect.
    CRegistryKey(HKEY_CURRENT_USER).SubkeyExists(Path(), KEY_READ);
    EXPECT_TRUE(KeyExists(L""));
}

TEST_F(RegistryKey, OpensSubkeysAndProbesWithoutThrowing)
{
    CreateKey(L"Child\\Grandchild");
    SetDword(L"Child\\Grandchild", L"n", 7);
    const CRegistryKey scratch(HKEY_CURRENT_USER, Path(), KEY_READ);
    EXPECT_TRUE(scratch.SubkeyExists(L"child\\GRANDCHILD", KEY_READ));
    EXPECT_FALSE(scratch.SubkeyExists(L"Child\\Missing", KEY_READ));

    DWORD value = 0xdeadbeef;
    EXPECT_TRUE(scratch.OpenSubkey(L"Child\\Grandchild", KEY_READ).QueryValue(L"n", value));
    EXPECT_EQ(7u, value);

    ExpectFailure(CatchKeyException([&] { scratch.OpenSubkey(L"Missing", KEY_READ); }), WhereOpen, ERROR_FILE_NOT_FOUND);
    ExpectFailure(CatchKeyException([&] { CRegistryKey(HKEY_CURRENT_USER, Path(L"Missing"), KEY_READ); }), WhereOpen,
                  ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKey, OpensThroughTheLocalMachineNameAndReportsAFailedConnect)
{
    SetDword(L"", L"marker", 42);
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(computer, &length));
    const String machine = String(L"\\\\") + computer;
    DWORD marker = 0xdeadbeef;
    EXPECT_TRUE(CRegistryKey(HKEY_CURRENT_USER, Path(), KEY_READ, machine.c_str()).QueryValue(L"marker", marker));
    EXPECT_EQ(42u, marker);

    ExpectFailure(CatchKeyException([&] { CRegistryKey(HKEY_LOCAL_MACHINE, L"Software", KEY_READ, L"\\\\QM-NO-SUCH-HOST"); }),
                  L"CRegistryKey::CRegistryKey() - RegConnectRegistry", ERROR_BAD_NETPATH);
}

TEST_F(RegistryKey, TextQueryReadsStringsWholeAndLeavesOtherTypesAlone)
{
    const String longText(5000, L'q');
    SetRaw(L"", L"", REG_SZ, ToBytes(L"default"));
    SetRaw(L"", L"expand", REG_EXPAND_SZ, ToBytes(L"%SystemRoot%\\x"));
    SetRaw(L"", L"long", REG_SZ, ToBytes(longText));
    SetRaw(L"", L"unterminated", REG_SZ, ToBytes(L"abc", false));
    SetDword(L"", L"dword", 5);
    SetRaw(L"", L"multi", REG_MULTI_SZ, ToBytes(String(L"a\0b\0", 4)));

    const CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_READ);
    const std::map<String, String> expected = {
        {L"", L"default"}, {L"expand", L"%SystemRoot%\\x"}, {L"long", longText}, {L"unterminated", L"abc"}};
    for (const auto& entry : expected)
    {
        String text = L"sentinel";
        EXPECT_TRUE(key.QueryValue(entry.first, text));
        EXPECT_EQ(entry.second, text);
    }
    String text = L"sentinel";
    EXPECT_FALSE(key.QueryValue(L"dword", text));
    EXPECT_FALSE(key.QueryValue(L"multi", text));
    EXPECT_EQ(L"sentinel", text);
    ExpectFailure(CatchKeyException([&] { key.QueryValue(L"missing", text); }), WhereQueryValue, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(L"sentinel", text);
}

TEST_F(RegistryKey, NumberQueryReadsFourByteDwordsOnly)
{
    SetDword(L"", L"little", 0x01020304);
    SetDword(L"", L"big", 0x0A0B0C0D, REG_DWORD_BIG_ENDIAN);
    SetRaw(L"", L"sz", REG_SZ, ToBytes(L"1"));
    SetRaw(L"", L"bin", REG_BINARY, {1, 2, 3, 4});
    SetRaw(L"", L"short", REG_DWORD, {1, 2});
    const CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_READ);

    DWORD number = 0xdeadbeef;
    EXPECT_TRUE(key.QueryValue(L"little", number));
    EXPECT_EQ(0x01020304u, number);
    EXPECT_TRUE(key.QueryValue(L"big", number));
    EXPECT_EQ(0x0A0B0C0Du, number); // raw, not swapped

    number = 0xdeadbeef;
    EXPECT_FALSE(key.QueryValue(L"sz", number));
    EXPECT_FALSE(key.QueryValue(L"bin", number));
    ExpectFailure(CatchKeyException([&] { key.QueryValue(L"short", number); }), WhereQueryValue, 0);
    ExpectFailure(CatchKeyException([&] { key.QueryValue(L"missing", number); }), WhereQueryValue, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(0xdeadbeefu, number);
}

TEST_F(RegistryKey, SetValueWritesTextWithItsNullAndNumbersAsFourBytes)
{
    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
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
    EXPECT_EQ(expected, Values());
}

TEST_F(RegistryKey, SetValueFailuresWriteNothing)
{
    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
    ExpectFailure(CatchKeyException([&] { key.SetValue(L"text", L"12", REG_DWORD); }), WhereSetValue, ERROR_INVALID_FLAGS);
    ExpectFailure(CatchKeyException([&] { key.SetValue(L"text", L"x", REG_MULTI_SZ); }), WhereSetValue, ERROR_INVALID_FLAGS);
    for (DWORD type : {REG_SZ, REG_BINARY, REG_QWORD})
        ExpectFailure(CatchKeyException([&] { key.SetValue(L"number", 12u, type); }), WhereSetValue, ERROR_INVALID_FLAGS);

    CRegistryKey readOnly(HKEY_CURRENT_USER, Path(), KEY_READ);
    ExpectFailure(CatchKeyException([&] { readOnly.SetValue(L"text", L"x", REG_SZ); }), WhereSetValue, ERROR_ACCESS_DENIED);
    ExpectFailure(CatchKeyException([&] { readOnly.SetValue(L"number", 1u, REG_DWORD); }), WhereSetValue,
                  ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Values().empty());
}

TEST_F(RegistryKey, DeleteKeyRemovesOnlyLeafKeys)
{
    CreateKey(L"Leaf");
    SetDword(L"Leaf", L"v", 1);
    CreateKey(L"Parent\\Child");
    SetDword(L"Parent\\Child", L"c", 2);
    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
    key.DeleteKey(L"Leaf");
    EXPECT_FALSE(KeyExists(L"Leaf"));

    const RawTree before = Dump(L"");
    ExpectFailure(CatchKeyException([&] { key.DeleteKey(L"Parent"); }), L"CRegistryKey::DeleteKey()", ERROR_ACCESS_DENIED);
    EXPECT_EQ(before, Dump(L""));
    ExpectFailure(CatchKeyException([&] { key.DeleteKey(L"Missing"); }), WhereOpen, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKey, DeleteKeyTreeRemovesEveryDescendantAndNothingElse)
{
    // Several siblings at each level: every deletion shifts the enumeration under the walk.
    for (const wchar_t* sub : {L"Tree\\A\\A1\\A11", L"Tree\\A\\A2", L"Tree\\B", L"Tree\\C\\C1", L"Tree\\C\\C2\\C21",
                               L"Tree\\C\\C3", L"Keep\\K1"})
        CreateKey(sub);
    SetDword(L"Tree\\C\\C2\\C21", L"deep", 2);
    SetDword(L"Keep\\K1", L"k", 3);

    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
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
