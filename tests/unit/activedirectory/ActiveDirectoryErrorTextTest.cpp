// The directory backup codes' texts: exact matches only, "Unknown error" for anything else.

#include "activedirectory/ActiveDirectory.h"

#include <gtest/gtest.h>

TEST(ActiveDirectoryErrorText, ExactCodesGiveTheirTextsAndNeighboursNone)
{
    const struct
    {
        DWORD code;
        const wchar_t* text;
    } cases[] = {
        {0x00000000, L"The operation was successful"},
        {0x000006B1, L"The RPC Server is already listening."},
        {0x880000C8, L"The buffer page has been evicted."},
        {0xC0000001, L"The function is not yet implemented"},
        {0xC7FF0001, L"The parameter is not valid."},
        {0xC80003EB, L"The parameter is not valid."},
        {0xC800012E, L"The record has been deleted."},
        {0xC80003F9, L"The record has been deleted."},
        {0xC7FF0008, L"A restore map already exists for the specified component.  You can only specify a restore "
                     L"map when performing a full restore."},
        {0xC7FF0011, L"DS Contents in the backup copy are out of date. Try restoring with a more recent copy."},
        {0xC800042D, L"lMaxVerPages exceeded (XJET only)"},
        {0xC8000773, L"Access is denied."},
        // Neighbours of listed codes, and listed codes with another severity or facility.
        {0xC8000068, L"Unknown error"},
        {0xC80001F6, L"Unknown error"},
        {0xC7FF0012, L"Unknown error"},
        {0xC7FF0000, L"Unknown error"},
        {0x800706B1, L"Unknown error"},
        {0x480000C8, L"Unknown error"},
        {0xFFFFFFFF, L"Unknown error"},
        {0x00000001, L"Unknown error"},
    };
    for (const auto& test : cases)
        EXPECT_EQ(test.text, ActiveDirectory::GetErrorText(static_cast<HRESULT>(test.code))) << std::hex << test.code;
}
