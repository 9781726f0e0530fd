// The directory backup codes' texts, found by a search of their sorted table: exact matches only,
// "Unknown error" for anything else.

#include "activedirectory/ActiveDirectory.h"

#include <gtest/gtest.h>

TEST(ActiveDirectoryErrorText, ExactCodesGiveTheirTextsAndNeighboursNone)
{
    const struct { DWORD code; const wchar_t* text; } cases[] = {
        {0x00000000, L"The operation was successful"},
        {0x880000C8, L"The buffer page has been evicted."},
        {0xC0000001, L"The function is not yet implemented"},
        {0xC80003EB, L"The parameter is not valid."},
        {0xC7FF0011, L"DS Contents in the backup copy are out of date. Try restoring with a more recent copy."},
        {0xC800042D, L"lMaxVerPages exceeded (XJET only)"},
        {0xC8000773, L"Access is denied."},
        // Neighbours of listed codes, and listed codes with another severity or facility.
        {0xC8000068, L"Unknown error"},
        {0xC7FF0012, L"Unknown error"},
        {0x800706B1, L"Unknown error"},
        {0x480000C8, L"Unknown error"},
        {0xFFFFFFFF, L"Unknown error"},
    };
    for (const auto& test : cases)
        EXPECT_EQ(test.text, ActiveDirectory::GetErrorText(static_cast<HRESULT>(test.code))) << std::hex << test.code;
}
