#pragma once
// The system's string type and its one printf-style formatter.

#include <cstdarg>
#include <string>
#include <type_traits>
#include <vector>

// UTF-16 text, owned by value. BSTRs appear only at the COM interface.
using String = std::wstring;
using StringList = std::vector<String>;

namespace Strings
{
    // What a printf-style argument list can carry: numbers, enumerations and pointers (C strings
    // among them). A class object such as a String passed for %s compiles through "..." and is
    // undefined behaviour, so Format refuses it at compile time.
    template <typename... Arguments>
    constexpr bool FormatArgumentsAllowed =
        ((std::is_arithmetic<std::decay_t<Arguments>>::value || std::is_enum<std::decay_t<Arguments>>::value ||
          std::is_pointer<std::decay_t<Arguments>>::value || std::is_null_pointer<std::decay_t<Arguments>>::value) &&
         ...);

    String FormatVarargs(const wchar_t* format, ...);

    // printf-style formatting with the Microsoft meanings in wide formats: %s and %ws take a
    // wide string, %S a narrow one, %d/%u/%lX/%08lX as usual. Never truncates; an invalid
    // format yields the format text itself rather than a partial result.
    template <typename... Arguments>
    String Format(const wchar_t* format, Arguments... arguments)
    {
        static_assert(FormatArgumentsAllowed<Arguments...>,
                      "Strings::Format takes numbers and C strings only: pass a String as .c_str()");
        return FormatVarargs(format, arguments...);
    }
    String FormatV(const wchar_t* format, va_list arguments);

    // UTF-8 <-> UTF-16; invalid sequences become U+FFFD.
    String FromUtf8(const std::string& text);
    std::string ToUtf8(const String& text);

    // Case-insensitive comparison as the file system and registry compare names: character by
    // character after upper-casing, without any linguistic rule.
    bool EqualsNoCase(const String& left, const String& right);
    bool StartsWithNoCase(const String& text, const String& prefix);
    String ToUpper(String text);
}
