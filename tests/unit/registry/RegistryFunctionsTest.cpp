#include "registry/RegistryKey.h"

#include "ScratchKey.h"

using namespace RegistryTest;

using RegistryFunctions = ScratchKey;

TEST_F(RegistryFunctions, ValueExistsNeedsBothKeyAndValue)
{
    SetDword(L"", L"present", 1);
    SetRaw(L"", L"", REG_SZ, ToBytes(L"default"));
    CreateKey(L"NoDefault");
    EXPECT_TRUE(Registry::ValueExists(HKEY_CURRENT_USER, Path(), L"PRESENT"));
    EXPECT_TRUE(Registry::ValueExists(HKEY_CURRENT_USER, Path(), L""));
    EXPECT_FALSE(Registry::ValueExists(HKEY_CURRENT_USER, Path(), L"absent"));
    EXPECT_FALSE(Registry::ValueExists(HKEY_CURRENT_USER, Path(L"NoDefault"), L""));
    EXPECT_FALSE(Registry::ValueExists(HKEY_CURRENT_USER, Path(L"Missing"), L"present"));
}

TEST_F(RegistryFunctions, GetStringReadsTheWholeTextOrReportsFunctionFailed)
{
    const String longText(20000, L'w');
    SetRaw(L"", L"long", REG_EXPAND_SZ, ToBytes(longText));
    SetRaw(L"", L"empty", REG_SZ, ToBytes(L""));
    SetRaw(L"", L"unterminated", REG_SZ, ToBytes(L"xyz", false));

    String value = L"sentinel";
    EXPECT_EQ(ERROR_SUCCESS, Registry::GetString(HKEY_CURRENT_USER, Path(), L"long", value));
    EXPECT_EQ(longText, value);
    EXPECT_EQ(ERROR_SUCCESS, Registry::GetString(HKEY_CURRENT_USER, Path(), L"unterminated", value));
    EXPECT_EQ(L"xyz", value);
    EXPECT_EQ(ERROR_SUCCESS, Registry::GetString(HKEY_CURRENT_USER, Path(), L"empty", value));
    EXPECT_EQ(L"", value);

    value = L"sentinel";
    EXPECT_EQ(ERROR_FUNCTION_FAILED, Registry::GetString(HKEY_CURRENT_USER, Path(L"Missing"), L"long", value));
    EXPECT_EQ(ERROR_FUNCTION_FAILED, Registry::GetString(HKEY_CURRENT_USER, Path(), L"missing", value));
    EXPECT_EQ(L"sentinel", value);
}

TEST_F(RegistryFunctions, GetMultiStringReadsEveryStringOrReportsFunctionFailed)
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

    StringList list = {L"sentinel"};
    EXPECT_EQ(ERROR_SUCCESS, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), L"many", list));
    EXPECT_EQ(many, list);
    EXPECT_EQ(ERROR_SUCCESS, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), L"unterminated", list));
    EXPECT_EQ((StringList{L"one", L"two"}), list);
    EXPECT_EQ(ERROR_SUCCESS, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), L"stopsatempty", list));
    EXPECT_EQ(StringList{L"a"}, list);
    EXPECT_EQ(ERROR_SUCCESS, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), L"emptylist", list));
    EXPECT_TRUE(list.empty());

    list = {L"sentinel"};
    EXPECT_EQ(ERROR_FUNCTION_FAILED, Registry::GetMultiString(HKEY_CURRENT_USER, Path(L"Missing"), L"many", list));
    EXPECT_EQ(ERROR_FUNCTION_FAILED, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), L"missing", list));
    EXPECT_EQ(StringList{L"sentinel"}, list);
}
