#include "common/ErrorText.h"
#include "common/Exceptions.h"

#include "ScratchDirectory.h"

#include <gtest/gtest.h>

TEST(StringFormat, UsesMicrosoftMeaningsOfStringConversions)
{
    EXPECT_EQ(L"wide abc narrow xyz ws def", Strings::Format(L"wide %s narrow %S ws %ws", L"abc", "xyz", L"def"));
    EXPECT_EQ(L"Error = 0x0000002A", Strings::Format(L"Error = 0x%08lX", 42ul));
    EXPECT_EQ(L"-7|  12|ff", Strings::Format(L"%d|%4u|%x", -7, 12u, 255u));
    // Long results are not cut.
    const String longText(5000, L'x');
    EXPECT_EQ(L"[" + longText + L"]", Strings::Format(L"[%s]", longText.c_str()));
}

TEST(StringConversion, Utf8RoundTrip)
{
    const String text = L"K\u00e4se \u65e5\u672c";
    EXPECT_EQ(text, Strings::FromUtf8(Strings::ToUtf8(text)));
    EXPECT_TRUE(Strings::EqualsNoCase(L"SOFTWARE", L"Software"));
    EXPECT_FALSE(Strings::EqualsNoCase(L"SOFTWARE", L"Softwar"));
    EXPECT_TRUE(Strings::StartsWithNoCase(L"\\REGISTRY\\MACHINE\\SAM", L"\\registry\\machine\\"));
}

TEST(ErrorTextFormat, KnownCodesGetTheSystemTextWithLineEndUnknownOnesTheNumberAlone)
{
    const String text = ErrorText::Format(ERROR_ACCESS_DENIED);
    EXPECT_EQ(SystemErrorText(ERROR_ACCESS_DENIED), text);
    EXPECT_EQ(0u, text.find(L"Error = 0x00000005 "));
    EXPECT_EQ(L"\r\n", text.substr(text.size() - 2));
    EXPECT_EQ(L"Error = 0x2BADF00D", ErrorText::Format(0x2BADF00D));

    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ErrorText::Format(ERROR_FILE_NOT_FOUND), ErrorText::FormatLastError());
}

TEST(ErrorTextFormat, FormatWin32MapsPositiveCodesToHresults)
{
    EXPECT_EQ(ErrorText::Format(0x80070005), ErrorText::FormatWin32(5));
    EXPECT_EQ(0u, ErrorText::FormatWin32(5).find(L"Error = 0x80070005"));
    EXPECT_EQ(ErrorText::Format(0), ErrorText::FormatWin32(0));
    EXPECT_EQ(ErrorText::Format(0x80004005), ErrorText::FormatWin32(static_cast<LONG>(0x80004005)));
    // Only the low 16 bits of a Win32 code survive the mapping.
    EXPECT_EQ(0u, ErrorText::FormatWin32(0x12345).find(L"Error = 0x80072345"));
}
