#include "sysvol/SystemVolumeNames.h"

#include <algorithm>

namespace
{
    bool IsPortDigit(wchar_t c)
    {
        // Windows counts the superscript digits one to three as port numbers too; port 0 is
        // reserved as well.
        return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
    }

    // The part Windows compares with its device names: up to the first dot, trailing blanks
    // dropped ("nul.txt" and "aux .bat" are devices).
    bool IsDeviceName(const String& name)
    {
        String base = name.substr(0, name.find(L'.'));
        base.erase(base.find_last_not_of(L' ') + 1);
        if (base.size() == 3)
        {
            for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"})
                if (Strings::EqualsNoCase(base, device))
                    return true;
            return false;
        }
        if (base.size() == 4)
        {
            const String port = base.substr(0, 3);
            return (Strings::EqualsNoCase(port, L"COM") || Strings::EqualsNoCase(port, L"LPT")) &&
                   IsPortDigit(base[3]);
        }
        return Strings::EqualsNoCase(base, L"CONIN$") || Strings::EqualsNoCase(base, L"CONOUT$");
    }
}

namespace SystemVolumeNames
{
    bool IsPlain(const String& name)
    {
        if (name.empty() || name.size() > MostCharacters)
            return false;
        for (const wchar_t c : name)
        {
            if (c < 0x20 || String(L"<>:\"/\\|?*").find(c) != String::npos)
                return false;
        }
        if (name.back() == L'.' || name.back() == L' ')
            return false;
        return !IsDeviceName(name);
    }

    bool IsPlainPath(const String& path, size_t mostParts)
    {
        size_t start = 0;
        for (size_t parts = 1; parts <= mostParts; ++parts)
        {
            const size_t end = std::min(path.find(L'\\', start), path.size());
            if (!IsPlain(path.substr(start, end - start)))
                return false;
            if (end == path.size())
                return true;
            start = end + 1;
        }
        return false;
    }
}
