#pragma once
// What the registry's enumeration code in this folder needs to size its buffers.

#include <windows.h>

#include <vector>

namespace RegistryBuffers
{
    // A key's counts and longest lengths: names and classes in characters, data in bytes.
    struct KeyInfo
    {
        DWORD subkeys = 0;
        DWORD longestSubkey = 0;
        DWORD longestClass = 0;
        DWORD values = 0;
        DWORD longestValueName = 0;
        DWORD longestData = 0;
    };

    inline LONG Query(HKEY key, KeyInfo& info)
    {
        return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &info.subkeys, &info.longestSubkey,
                                &info.longestClass, &info.values, &info.longestValueName, &info.longestData,
                                nullptr, nullptr);
    }

    // Grows a buffer to at least `size` elements (buffers never shrink); tells whether it grew.
    template <typename T>
    bool GrowTo(std::vector<T>& buffer, DWORD size)
    {
        if (buffer.size() >= size)
            return false;
        buffer.assign(size, T());
        return true;
    }
}
