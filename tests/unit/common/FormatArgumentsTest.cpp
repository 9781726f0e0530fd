#include "common/Strings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

// A String handed to a printf-style "..." compiles and is undefined behaviour; Format refuses
// any class type at compile time (tests/compile checks that the refusal is what stops a call).
static_assert(!Strings::FormatArgumentsAllowed<String>, "a String must be passed as .c_str()");
static_assert(!Strings::FormatArgumentsAllowed<const String&>, "a String must be passed as .c_str()");
static_assert(!Strings::FormatArgumentsAllowed<std::string>, "a std::string must be passed as .c_str()");
static_assert(!Strings::FormatArgumentsAllowed<const wchar_t*, String>, "one class argument is enough");
static_assert(Strings::FormatArgumentsAllowed<const wchar_t*, const char*, wchar_t[4], int, unsigned long, DWORD,
                                             HRESULT, LONGLONG, double, void*, HKEY, std::nullptr_t>,
              "numbers, C strings and handles pass");
static_assert(Strings::FormatArgumentsAllowed<>, "a format without arguments passes");

TEST(StringFormat, TakesArraysAndPointersAsTheirAddresses)
{
    const wchar_t name[] = L"SOFTWARE";
    const char narrow[] = "SYSTEM";
    EXPECT_EQ(L"SOFTWARE SYSTEM 7", Strings::Format(L"%s %S %d", name, narrow, 7));
}

TEST(StringNoCase, ComparesCharacterByCharacterWithoutLinguisticRules)
{
    struct Case
    {
        const wchar_t* left;
        const wchar_t* right;
        bool equal;
    };
    const Case cases[] = {
        {L"\\REGISTRY\\MACHINE\\SOFTWARE", L"\\registry\\machine\\software", true},
        {L"K\u00c4SE \u00c5", L"k\u00e4se \u00e5", true},
        // One character never stands for two, and marks are never ignored.
        {L"STRASSE", L"stra\u00dfe", false},
        {L"co-op", L"coop", false},
        {L"resume", L"r\u00e9sum\u00e9", false},
        {L"", L"", true},
        {L"a", L"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.equal, Strings::EqualsNoCase(c.left, c.right)) << Strings::ToUtf8(c.left);
}
