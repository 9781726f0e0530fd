#include "registry/Enumerator.h"

namespace RegistryBuffers
{
    namespace
    {
        // Most names, classes and data fit these; larger ones are read again with grown buffers.
        const DWORD NameChars = 260;
        const DWORD ClassChars = 260;
        const DWORD DataBytes = 4096;

        // The registry refuses longer names; a buffer grown past these cannot help a read.
        const DWORD MaxKeyNameChars = 256;
        const DWORD MaxValueNameChars = 16384;
        const DWORD MaxClassChars = 32768;
    }

    SubkeyEnumerator::SubkeyEnumerator() : m_name(NameChars), m_class(ClassChars) {}

    void SubkeyEnumerator::Fit(const KeyInfo& info)
    {
        GrowTo(m_name, info.longestSubkey + 1);
        GrowTo(m_class, info.longestClass + 1);
    }

    LONG SubkeyEnumerator::Read(HKEY key, DWORD index)
    {
        for (;;)
        {
            DWORD nameChars = static_cast<DWORD>(m_name.size());
            DWORD classChars = static_cast<DWORD>(m_class.size());
            const LONG status = RegEnumKeyExW(key, index, m_name.data(), &nameChars, nullptr, m_class.data(),
                                              &classChars, nullptr);
            if (status != ERROR_MORE_DATA)
                return status;
            KeyInfo info;
            const LONG queried = Query(key, info);
            if (queried != ERROR_SUCCESS)
                return queried;
            if (info.subkeys == 0)
                return ERROR_NO_MORE_ITEMS;
            bool grown = GrowTo(m_name, info.longestSubkey + 1);
            grown = GrowTo(m_class, info.longestClass + 1) || grown;
            // The reported maxima may lag behind a key that changes during the walk: widen on our
            // own, within the registry's limits, so that the loop always makes progress.
            if (!grown && m_name.size() < MaxKeyNameChars)
                grown = GrowTo(m_name, MaxKeyNameChars);
            if (!grown && m_class.size() < MaxClassChars)
                grown = GrowTo(m_class, MaxClassChars);
            if (!grown)
                return ERROR_MORE_DATA;
        }
    }

    ValueEnumerator::ValueEnumerator() : m_name(NameChars), m_data(DataBytes) {}

    void ValueEnumerator::Fit(const KeyInfo& info)
    {
        GrowTo(m_name, info.longestValueName + 1);
        GrowTo(m_data, info.longestData + 1);
    }

    LONG ValueEnumerator::Read(HKEY key, DWORD index)
    {
        for (;;)
        {
            DWORD nameChars = static_cast<DWORD>(m_name.size());
            DWORD dataSize = static_cast<DWORD>(m_data.size());
            DWORD type = 0;
            const LONG status = RegEnumValueW(key, index, m_name.data(), &nameChars, nullptr, &type, m_data.data(),
                                              &dataSize);
            if (status == ERROR_SUCCESS)
            {
                m_type = type;
                m_dataSize = dataSize;
            }
            if (status != ERROR_MORE_DATA)
                return status;
            KeyInfo info;
            const LONG queried = Query(key, info);
            if (queried != ERROR_SUCCESS)
                return queried;
            if (info.values == 0)
                return ERROR_NO_MORE_ITEMS;
            bool grown = GrowTo(m_name, info.longestValueName + 1);
            grown = GrowTo(m_data, info.longestData + 1) || grown;
            // The enumeration tells the size the data needs, which may be ahead of the key's maxima.
            if (!grown && dataSize < MAXDWORD)
                grown = GrowTo(m_data, dataSize + 1);
            if (!grown && m_name.size() < MaxValueNameChars)
                grown = GrowTo(m_name, MaxValueNameChars);
            if (!grown)
                return ERROR_MORE_DATA;
        }
    }
}
