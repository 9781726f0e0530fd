#pragma once
// Reading a key's subkeys and values by index, whole: the one place in this folder that calls the
// registry's enumeration and grows its buffers when an item does not fit.

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

    // Each Read gives ERROR_SUCCESS with the item's fields filled (valid until the next Read),
    // ERROR_NO_MORE_ITEMS past the last item or when the key was emptied meanwhile, or the code of
    // the call that failed. An item larger than the buffers is read again with grown ones; one that
    // no growth can hold gives ERROR_MORE_DATA.
    class SubkeyEnumerator
    {
    public:
        SubkeyEnumerator();
        // Sizes the buffers for the key's longest name and class, so that the walk needs no regrowth.
        void Fit(const KeyInfo& info);
        LONG Read(HKEY key, DWORD index);

        const wchar_t* Name() const noexcept { return m_name.data(); }
        const wchar_t* Class() const noexcept { return m_class.data(); }

    private:
        std::vector<wchar_t> m_name;
        std::vector<wchar_t> m_class;
    };

    class ValueEnumerator
    {
    public:
        ValueEnumerator();
        // Sizes the buffers for the key's longest name and data.
        void Fit(const KeyInfo& info);
        LONG Read(HKEY key, DWORD index);

        const wchar_t* Name() const noexcept { return m_name.data(); }
        DWORD Type() const noexcept { return m_type; }
        // DataSize() bytes.
        const BYTE* Data() const noexcept { return m_data.data(); }
        DWORD DataSize() const noexcept { return m_dataSize; }

    private:
        std::vector<wchar_t> m_name;
        std::vector<BYTE> m_data;
        DWORD m_type = 0;
        DWORD m_dataSize = 0;
    };
}
