#include "files/DatabaseLogs.h"

#include "files/Files.h"

#include <algorithm>
#include <cwchar>

namespace DatabaseLogs
{
    ULONG Generation(const String& path)
    {
        const String name = Files::GetFileName(path);
        const size_t dot = name.rfind(L'.');
        if (dot == String::npos || dot <= 3)
            return 0;
        return wcstoul(name.substr(3, dot - 3).c_str(), nullptr, 16);
    }

    void Range(const StringList& paths, ULONG& lowest, ULONG& highest)
    {
        lowest = 0;
        highest = 0;
        for (const String& path : paths)
        {
            const ULONG generation = Generation(path);
            if (generation >= highest)
                highest = generation;
            if (lowest == 0 || lowest >= generation)
                lowest = generation;
        }
    }

    bool IsGenerationName(const String& name)
    {
        const size_t digits = name.size() - std::min(name.size(), wcslen(L"edb") + wcslen(L".log"));
        return digits >= 5 && digits <= 8 && Strings::StartsWithNoCase(name, L"edb") &&
               Strings::EqualsNoCase(name.substr(name.size() - 4), L".log") &&
               name.find_first_not_of(L"0123456789ABCDEFabcdef", 3) == 3 + digits;
    }
}
