#pragma once
// The system's string type and its one printf-style formatter.

#include <cstdarg>
#include <string>
#include <vector>

// UTF-16 text, owned by value. BSTRs appear only at the COM interface.
using String = std::wstring;
using StringList = std::vector<String>;

namespace Strings
{
    // printf-style formatting with the Microsoft meanings in wide formats: %s and %ws take a
    // wide string, %S a narrow one, %d/%u/%lX/%08lX as usual. Never truncates; an invalid
    // format yields the format text itself rather than a partial result.
    String Format(const wchar_t* format, ...);
    String FormatV(const wchar_t* format, va_list arguments);

    // UTF-8 <-> UTF-16; invalid sequences become U+FFFD.
    String FromUtf8(const std::string& text);
    std::string ToUtf8(const String& text);

    // Case-insensitive comparison as the file system and registry compare names.
    bool EqualsNoCase(const String& left, const String& right);
    bool StartsWithNoCase(const String& text, const String& prefix);
    String ToUpper(String text);
}
