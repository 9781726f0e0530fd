#include "registry/RegistryKey.h"

#include "ScratchKey.h"

#include <type_traits>

using namespace RegistryTest;

namespace
{
    const wchar_t* const WhereOpen = L"CRegistryKey::CRegistryKey(HKEY hKey ...)";
    const wchar_t* const WhereQueryValue = L"CRegistryKey::QueryValue()";
    const wchar_t* const WhereSetValue = L"CRegistryKey::SetValue()";
    const wchar_t* const WhereDeleteKey = L"CRegistryKey::DeleteKey()";

    String SystemText(DWORD code)
    {
        wchar_t buffer[512] = {};
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer, 511, nullptr);
        return buffer;
    }

    class RegistryKey : public ScratchKey
    {
    };
}

static_assert(std::is_base_of<CWin32Exception, CRegistryKey::Exception>::value,
              "the key wrapper's exception is a Win32 exception");

// ---- Opening and sharing ----------------------------------------------------------------------

TEST_F(RegistryKey, CopiesShareOneHandleThatClosesWithTheLastOwner)
{
    HKEY handle = nullptr;
    {
        CRegistryKey first(HKEY_CURRENT_USER, Path(), KEY_READ);
        handle = first.GetHandle();
        CRegistryKey copy(first);
        EXPECT_EQ(handle, copy.GetHandle());
        {
            CRegistryKey other(HKEY_CURRENT_USER, Path(), KEY_READ);
            EXPECT_NE(handle, other.GetHandle());
            other = copy;
            EXPECT_EQ(handle, other.GetHandle());
            other = other;
            EXPECT_EQ(handle, other.GetHandle());
        }
        first = CRegistryKey(HKEY_CURRENT_USER, Path(), KEY_READ);
        EXPECT_NE(handle, first.GetHandle());
        // The original holder lives on in the copy alone.
        EXPECT_TRUE(HandleIsOpen(handle));
    }
    EXPECT_FALSE(HandleIsOpen(handle));
}

TEST_F(RegistryKey, WrappingAPredefinedRootLeavesItUsable)
{
    {
        CRegistryKey root(HKEY_CURRENT_USER);
        EXPECT_TRUE(root.SubkeyExists(Path(), KEY_READ));
    }
    EXPECT_TRUE(HandleIsOpen(HKEY_CURRENT_USER));
    EXPECT_TRUE(KeyExists(L""));
}

TEST_F(RegistryKey, OpensSubkeysAndProbesWithoutThrowing)
{
    CreateKey(L"Child\\Grandchild");
    const CRegistryKey scratch(HKEY_CURRENT_USER, Path(), KEY_READ);
    EXPECT_TRUE(scratch.SubkeyExists(L"Child", KEY_READ));
    EXPECT_TRUE(scratch.SubkeyExists(L"child\\GRANDCHILD", KEY_READ));
    EXPECT_FALSE(scratch.SubkeyExists(L"Missing", KEY_READ));
    EXPECT_FALSE(scratch.SubkeyExists(L"Child\\Missing", KEY_READ));

    const CRegistryKey grandchild = scratch.OpenSubkey(L"Child\\Grandchild", KEY_ALL_ACCESS);
    EXPECT_NE(scratch.GetHandle(), grandchild.GetHandle());
    grandchild.BeginValues(); // opened for real: the key can be queried
    SetDword(L"Child\\Grandchild", L"n", 7);
    DWORD value = 0xdeadbeef;
    EXPECT_TRUE(grandchild.QueryValue(L"n", value));
    EXPECT_EQ(7u, value);
}

TEST_F(RegistryKey, OpeningAMissingKeyThrowsTheOpenFailure)
{
    const auto direct = CatchKeyException([&] { CRegistryKey(HKEY_CURRENT_USER, Path(L"Missing"), KEY_READ); });
    EXPECT_STREQ(WhereOpen, direct.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), direct.GetCode());
    EXPECT_EQ(SystemText(ERROR_FILE_NOT_FOUND), direct.GetErrorMessage());

    const CRegistryKey scratch(HKEY_CURRENT_USER, Path(), KEY_READ);
    const auto below = CatchKeyException([&] { scratch.OpenSubkey(L"Missing", KEY_READ); });
    EXPECT_STREQ(WhereOpen, below.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), below.GetCode());
}

TEST_F(RegistryKey, OpensThroughTheLocalMachineNameAndReportsAFailedConnect)
{
    SetDword(L"", L"marker", 42);
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(computer, &length));

    const String machine = String(L"\\\\") + computer;
    const CRegistryKey viaName(HKEY_CURRENT_USER, Path(), KEY_READ, machine.c_str());
    DWORD marker = 0xdeadbeef;
    EXPECT_TRUE(viaName.QueryValue(L"marker", marker));
    EXPECT_EQ(42u, marker);

    const auto error = CatchKeyException(
        [&] { CRegistryKey(HKEY_LOCAL_MACHINE, L"Software", KEY_READ, L"\\\\QM-NO-SUCH-HOST-0451"); });
    EXPECT_STREQ(L"CRegistryKey::CRegistryKey() - RegConnectRegistry", error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), error.GetCode());
}

// ---- Values -----------------------------------------------------------------------------------

TEST_F(RegistryKey, TextQueryReadsStringsWholeAndUnexpanded)
{
    const String longText(5000, L'q');
    SetRaw(L"", L"sz", REG_SZ, ToBytes(L"plain text"));
    SetRaw(L"", L"expand", REG_EXPAND_SZ, ToBytes(L"%SystemRoot%\\x"));
    SetRaw(L"", L"long", REG_SZ, ToBytes(longText));
    SetRaw(L"", L"unterminated", REG_SZ, ToBytes(L"abc", false));
    SetRaw(L"", L"", REG_SZ, ToBytes(L"default"));

    const CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_READ);
    String text = L"sentinel";
    EXPECT_TRUE(key.QueryValue(L"sz", text));
    EXPECT_EQ(L"plain text", text);
    EXPECT_TRUE(key.QueryValue(L"expand", text));
    EXPECT_EQ(L"%SystemRoot%\\x", text);
    EXPECT_TRUE(key.QueryValue(L"long", text));
    EXPECT_EQ(longText, text);
    EXPECT_TRUE(key.QueryValue(L"unterminated", text));
    EXPECT_EQ(L"abc", text);
    EXPECT_TRUE(key.QueryValue(L"", text));
    EXPECT_EQ(L"default", text);
}

TEST_F(RegistryKey, QueriesOfTheOtherKindGiveFalseAndLeaveTheOutputUntouched)
{
    SetDword(L"", L"dword", 5);
    SetRaw(L"", L"multi", REG_MULTI_SZ, MultiString({L"a", L"b"}));
    SetRaw(L"", L"sz", REG_SZ, ToBytes(L"text"));
    SetRaw(L"", L"bin", REG_BINARY, {1, 2, 3, 4});

    const CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_READ);
    String text = L"sentinel";
    EXPECT_FALSE(key.QueryValue(L"dword", text));
    EXPECT_FALSE(key.QueryValue(L"multi", text));
    EXPECT_EQ(L"sentinel", text);

    DWORD number = 0xdeadbeef;
    EXPECT_FALSE(key.QueryValue(L"sz", number));
    // Four bytes of binary data are still not a number.
    EXPECT_FALSE(key.QueryValue(L"bin", number));
    EXPECT_EQ(0xdeadbeefu, number);
}

TEST_F(RegistryKey, NumberQueryReadsBothDwordKindsRaw)
{
    SetDword(L"", L"little", 0x01020304);
    SetDword(L"", L"big", 0x0A0B0C0D, REG_DWORD_BIG_ENDIAN);
    const CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_READ);
    DWORD number = 0xdeadbeef;
    EXPECT_TRUE(key.QueryValue(L"little", number));
    EXPECT_EQ(0x01020304u, number);
    number = 0xdeadbeef;
    EXPECT_TRUE(key.QueryValue(L"big", number));
    EXPECT_EQ(0x0A0B0C0Du, number);
}

TEST_F(RegistryKey, QueryFailuresThrowWithTheirCodes)
{
    SetRaw(L"", L"short", REG_DWORD, {1, 2});
    const CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_READ);

    String text = L"sentinel";
    auto missing = CatchKeyException([&] { key.QueryValue(L"missing", text); });
    EXPECT_STREQ(WhereQueryValue, missing.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.GetCode());
    EXPECT_EQ(L"sentinel", text);

    DWORD number = 0xdeadbeef;
    missing = CatchKeyException([&] { key.QueryValue(L"missing", number); });
    EXPECT_STREQ(WhereQueryValue, missing.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.GetCode());

    const auto wrongSize = CatchKeyException([&] { key.QueryValue(L"short", number); });
    EXPECT_STREQ(WhereQueryValue, wrongSize.GetLocation());
    EXPECT_EQ(0u, wrongSize.GetCode());
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

    RawValue value;
    ASSERT_EQ(ERROR_SUCCESS, ReadRaw(L"", L"sz", value));
    EXPECT_EQ((RawValue{REG_SZ, ToBytes(L"hello")}), value);
    EXPECT_EQ(12u, value.data.size());
    ASSERT_EQ(ERROR_SUCCESS, ReadRaw(L"", L"expand", value));
    EXPECT_EQ((RawValue{REG_EXPAND_SZ, ToBytes(L"%TEMP%")}), value);
    ASSERT_EQ(ERROR_SUCCESS, ReadRaw(L"", L"empty", value));
    EXPECT_EQ((RawValue{REG_SZ, Bytes{0, 0}}), value);
    ASSERT_EQ(ERROR_SUCCESS, ReadRaw(L"", L"dword", value));
    EXPECT_EQ((RawValue{REG_DWORD, Bytes{0x0D, 0xF0, 0xFE, 0xCA}}), value);
    ASSERT_EQ(ERROR_SUCCESS, ReadRaw(L"", L"big", value));
    EXPECT_EQ((RawValue{REG_DWORD_BIG_ENDIAN, Bytes{0x44, 0x33, 0x22, 0x11}}), value);
}

TEST_F(RegistryKey, SetValueOfTheWrongTypeThrowsInvalidFlagsAndWritesNothing)
{
    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
    auto error = CatchKeyException([&] { key.SetValue(L"text", L"12", REG_DWORD); });
    EXPECT_STREQ(WhereSetValue, error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), error.GetCode());

    for (DWORD type : {static_cast<DWORD>(REG_SZ), static_cast<DWORD>(REG_BINARY), static_cast<DWORD>(REG_QWORD)})
    {
        error = CatchKeyException([&] { key.SetValue(L"number", 12u, type); });
        EXPECT_STREQ(WhereSetValue, error.GetLocation());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), error.GetCode()) << "type " << type;
    }
    error = CatchKeyException([&] { key.SetValue(L"text", L"x", REG_MULTI_SZ); });
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), error.GetCode());

    RawValue value;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRaw(L"", L"text", value));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRaw(L"", L"number", value));
}

TEST_F(RegistryKey, SetValueOnAReadOnlyKeyThrowsAccessDenied)
{
    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_READ);
    auto error = CatchKeyException([&] { key.SetValue(L"text", L"x", REG_SZ); });
    EXPECT_STREQ(WhereSetValue, error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error.GetCode());
    error = CatchKeyException([&] { key.SetValue(L"number", 1u, REG_DWORD); });
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error.GetCode());
    RawValue value;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRaw(L"", L"text", value));
}

// ---- Deleting ---------------------------------------------------------------------------------

TEST_F(RegistryKey, DeleteKeyRemovesALeafKeyWithItsValues)
{
    CreateKey(L"Leaf");
    SetDword(L"Leaf", L"v", 1);
    CreateKey(L"Sibling");
    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
    key.DeleteKey(L"Leaf");
    EXPECT_FALSE(KeyExists(L"Leaf"));
    EXPECT_TRUE(KeyExists(L"Sibling"));
}

TEST_F(RegistryKey, DeleteKeyOnAKeyWithSubkeysFailsWithAccessDeniedAndChangesNothing)
{
    CreateKey(L"Parent\\Child");
    SetDword(L"Parent", L"p", 1);
    SetDword(L"Parent\\Child", L"c", 2);
    const RawTree before = Dump(L"");

    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
    const auto error = CatchKeyException([&] { key.DeleteKey(L"Parent"); });
    EXPECT_STREQ(WhereDeleteKey, error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error.GetCode());
    EXPECT_EQ(before, Dump(L""));
}

TEST_F(RegistryKey, DeleteKeyOfAMissingKeyThrowsTheOpenFailure)
{
    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
    const auto error = CatchKeyException([&] { key.DeleteKey(L"Missing"); });
    EXPECT_STREQ(WhereOpen, error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error.GetCode());
}

TEST_F(RegistryKey, DeleteKeyTreeRemovesEveryDescendantAndNothingElse)
{
    // Several siblings at each level: deleting shifts the enumeration under the walk.
    for (const wchar_t* sub : {L"Tree\\A\\A1\\A11", L"Tree\\A\\A2", L"Tree\\B", L"Tree\\C\\C1", L"Tree\\C\\C2\\C21",
                               L"Tree\\C\\C3", L"Keep\\K1"})
        CreateKey(sub);
    SetDword(L"Tree", L"t", 1);
    SetDword(L"Tree\\C\\C2\\C21", L"deep", 2);
    SetDword(L"Keep\\K1", L"k", 3);
    SetDword(L"", L"top", 4);

    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
    key.DeleteKeyTree(L"Tree");
    EXPECT_FALSE(KeyExists(L"Tree"));

    RawTree expected;
    expected[L""].values[L"top"] = RawValue{REG_DWORD, Bytes{4, 0, 0, 0}};
    expected[L"Keep"];
    expected[L"Keep\\K1"].values[L"k"] = RawValue{REG_DWORD, Bytes{3, 0, 0, 0}};
    EXPECT_EQ(expected, Dump(L""));
}

TEST_F(RegistryKey, DeleteKeyTreeAcceptsAPathAndALeaf)
{
    CreateKey(L"A\\B\\C");
    CRegistryKey key(HKEY_CURRENT_USER, Path(), KEY_ALL_ACCESS);
    key.DeleteKeyTree(L"A\\B");
    EXPECT_TRUE(KeyExists(L"A"));
    EXPECT_FALSE(KeyExists(L"A\\B"));
    key.DeleteKeyTree(L"A");
    EXPECT_FALSE(KeyExists(L"A"));
}
