#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "errors/Failure.h"

#include "ScratchDirectory.h"

#include <string>
#include <tuple>

// A String handed to a printf-style "..." compiles and is undefined behaviour; Format refuses
// any class type at compile time.
static_assert(!Strings::FormatArgumentsAllowed<const String&>, "a String must be passed as .c_str()");
static_assert(!Strings::FormatArgumentsAllowed<const wchar_t*, std::string>, "one class argument is enough");
static_assert(Strings::FormatArgumentsAllowed<const wchar_t*, const char*, wchar_t[4], int, DWORD, HRESULT, LONGLONG,
                                             double, void*, HKEY, std::nullptr_t>,
              "numbers, C strings and handles pass");

TEST(StringFormat, UsesMicrosoftMeaningsOfStringConversions)
{
    const wchar_t name[] = L"abc";
    EXPECT_EQ(L"wide abc narrow xyz ws def", Strings::Format(L"wide %s narrow %S ws %ws", name, "xyz", L"def"));
    EXPECT_EQ(L"Error = 0x0000002A", Strings::Format(L"Error = 0x%08lX", 42ul));
    EXPECT_EQ(L"-7|  12|ff", Strings::Format(L"%d|%4u|%x", -7, 12u, 255u));
    const String longText(5000, L'x');
    EXPECT_EQ(L"[" + longText + L"]", Strings::Format(L"[%s]", longText.c_str()));
}

TEST(Strings, Utf8RoundTripAndCaseBlindComparisonWithoutLinguisticRules)
{
    const String text = L"K\u00e4se \u65e5\u672c";
    EXPECT_EQ(text, Strings::FromUtf8(Strings::ToUtf8(text)));
    EXPECT_TRUE(Strings::StartsWithNoCase(L"\\REGISTRY\\MACHINE\\SAM", L"\\registry\\machine\\"));
    const std::tuple<const wchar_t*, const wchar_t*, bool> cases[] = {
        {L"\\REGISTRY\\MACHINE\\SOFTWARE", L"\\registry\\machine\\software", true},
        {L"K\u00c4SE \u00c5", L"k\u00e4se \u00e5", true},
        {L"SOFTWARE", L"Softwar", false},
        // One character never stands for two, and marks are never ignored.
        {L"STRASSE", L"stra\u00dfe", false},
        {L"co-op", L"coop", false},
        {L"resume", L"r\u00e9sum\u00e9", false},
        {L"", L"", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::get<2>(c), Strings::EqualsNoCase(std::get<0>(c), std::get<1>(c))) << Strings::ToUtf8(std::get<0>(c));
}

// A known code's system text with its line end is compared in every guard text (ComGuard).
TEST(ErrorTextFormat, TheNumberAloneForUnknownCodesAndWin32CodesAsHresults)
{
    EXPECT_EQ(L"Error = 0x2BADF00D", ErrorText::Format(0x2BADF00D));
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ErrorText::Format(ERROR_FILE_NOT_FOUND), ErrorText::FormatLastError());

    // Win32 codes map to HRESULTs; HRESULTs and success stay as they are.
    EXPECT_EQ(ErrorText::Format(0x80070005), ErrorText::FormatWin32(5));
    EXPECT_EQ(ErrorText::Format(0), ErrorText::FormatWin32(0));
    EXPECT_EQ(ErrorText::Format(0x80004005), ErrorText::FormatWin32(static_cast<LONG>(0x80004005)));

    // An exception's message is the system's text alone, and a later one leaves an earlier alone.
    const CWin32Exception denied(L"RegOpenKeyEx", ERROR_ACCESS_DENIED);
    const CWin32Exception missing(L"RegOpenKeyEx", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SystemErrorText(ERROR_ACCESS_DENIED), L"Error = 0x00000005 " + denied.GetErrorMessage());
    EXPECT_EQ(SystemErrorText(ERROR_FILE_NOT_FOUND), L"Error = 0x00000002 " + missing.GetErrorMessage());
}

TEST(Failure, CallArgumentsAndErrorTextInTheExceptionClassAsked)
{
    // A code given, shown as a number too; keys as signed numbers.
    EXPECT_EQ(L"RegFlushKey(-2147483646) failed: 5\n" + SystemErrorText(ERROR_ACCESS_DENIED),
              MessageOf<RegistryServiceException>([] {
                  Failure::ThrowCode<RegistryServiceException>(ERROR_ACCESS_DENIED, L"RegFlushKey(%d) failed: %d\n%s",
                                                               Failure::Number(HKEY_LOCAL_MACHINE), 5);
              }));
    // The thread's last error as it stood at the failed call, in a class outside the module tree.
    EXPECT_EQ(L"Wow64DisableWow64FsRedirection() failed for C:\\x: " + SystemErrorText(ERROR_FILE_NOT_FOUND),
              MessageOf<Wow64Exception>([] {
                  SetLastError(ERROR_FILE_NOT_FOUND);
                  Failure::ThrowLastError<Wow64Exception>(L"Wow64DisableWow64FsRedirection() failed for %s: %s",
                                                          L"C:\\x");
              }));
}
