#include "JobReport.h"

#include "handles/Handles.h"

#include <windows.h>

#include <cwchar>

namespace
{
    const wchar_t* const SessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

    String WithoutPrefixes(String path)
    {
        if (!path.empty() && path[0] == L'!')
            path.erase(0, 1);
        if (path.compare(0, 4, L"\\??\\") == 0)
            path.erase(0, 4);
        return path;
    }

}

namespace JobReport
{
    std::vector<PendingRename> ParsePendingRenames(const std::vector<wchar_t>& multiString)
    {
        StringList strings;
        for (size_t start = 0; start < multiString.size();)
        {
            size_t end = start;
            while (end < multiString.size() && multiString[end] != L'\0')
                ++end;
            strings.emplace_back(multiString.data() + start, end - start);
            start = end + 1;
        }
        // The list ends with an empty string; an empty target inside it is a deletion.
        while (!strings.empty() && strings.back().empty())
            strings.pop_back();
        std::vector<PendingRename> renames;
        for (size_t i = 0; i < strings.size(); i += 2)
            renames.push_back({WithoutPrefixes(strings[i]), i + 1 < strings.size() ? WithoutPrefixes(strings[i + 1])
                                                                                    : String()});
        return renames;
    }

    std::vector<PendingRename> ReadPendingRenames()
    {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SessionManager, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            return {};
        DWORD size = 0;
        DWORD type = REG_NONE;
        LONG status = RegQueryValueExW(key.get(), L"PendingFileRenameOperations", nullptr, &type, nullptr, &size);
        std::vector<wchar_t> data;
        // Another program may schedule a rename between the two calls.
        while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)
        {
            data.assign(size / sizeof(wchar_t) + 1, L'\0');
            DWORD read = static_cast<DWORD>(data.size() * sizeof(wchar_t));
            status = RegQueryValueExW(key.get(), L"PendingFileRenameOperations", nullptr, &type,
                                      reinterpret_cast<BYTE*>(data.data()), &read);
            if (status == ERROR_SUCCESS)
            {
                data.resize(read / sizeof(wchar_t));
                return type == REG_MULTI_SZ ? ParsePendingRenames(data) : std::vector<PendingRename>();
            }
            size = read;
        }
        return {};
    }

    const Component* ComponentNamedIn(const String& errorText)
    {
        // The first class name in the text is the one thrown; others are what it wraps.
        const Component* named = nullptr;
        size_t first = String::npos;
        for (const Component& component : Components::All())
        {
            const String prefix = component.exceptionPrefix;
            for (size_t at = errorText.find(prefix); at != String::npos && at < first; at = errorText.find(prefix, at + 1))
            {
                // The class name runs on to "Exception" ("...BackupSetException" too) and a blank.
                const size_t end = errorText.find_first_of(L" :\n", at);
                const String name = errorText.substr(at, end == String::npos ? String::npos : end - at);
                if (name.size() >= 9 && name.compare(name.size() - 9, 9, L"Exception") == 0)
                {
                    first = at;
                    named = &component;
                    break;
                }
            }
        }
        return named;
    }

    String OtherServerText(const String& takenOn, const String& thisServer)
    {
        if (takenOn.empty() || Strings::EqualsNoCase(takenOn, thisServer))
            return String();
        return Strings::Format(L"This backup was taken on %s; this server is %s", takenOn.c_str(), thisServer.c_str());
    }
}
