#include "text/Strings.h"

#include <windows.h>
#include <stdio.h>

// libstdc++ switches mingw's printf family to the C99 meanings, where %s in a wide format is a
// narrow string. _vscwprintf and _vsnwprintf stay msvcrt's own entry points, with the Microsoft
// meanings that the messages of this system are written in.
namespace Strings
{
    String FormatV(const wchar_t* format, va_list arguments)
    {
        if (format == nullptr)
            return String();

        va_list counting;
        va_copy(counting, arguments);
        const int length = _vscwprintf(format, counting);
        va_end(counting);
        if (length < 0)
            return String(format);

        String result(static_cast<size_t>(length) + 1, L'\0');
        va_list writing;
        va_copy(writing, arguments);
        _vsnwprintf(&result[0], result.size(), format, writing);
        va_end(writing);
        result.resize(static_cast<size_t>(length));
        return result;
    }

    String FormatVarargs(const wchar_t* format, ...)
    {
        va_list arguments;
        va_start(arguments, format);
        String result = FormatV(format, arguments);
        va_end(arguments);
        return result;
    }

    String FromUtf8(const std::string& text)
    {
        if (text.empty())
            return String();
        const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        String result(static_cast<size_t>(length), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length);
        return result;
    }

    std::string ToUtf8(const String& text)
    {
        if (text.empty())
            return std::string();
        const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        std::string result(static_cast<size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length, nullptr, nullptr);
        return result;
    }

    bool EqualsNoCase(const String& left, const String& right)
    {
        // Upper-casing keeps the length of UTF-16 text, so unequal lengths never match.
        return left.size() == right.size() && ToUpper(left) == ToUpper(right);
    }

    bool StartsWithNoCase(const String& text, const String& prefix)
    {
        return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
    }

    String ToUpper(String text)
    {
        if (!text.empty())
            CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
        return text;
    }
}
