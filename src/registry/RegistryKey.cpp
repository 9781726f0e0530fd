#include "registry/RegistryKey.h"

#include "handles/Handles.h"
#include "registry/Enumerator.h"

#include <cstring>
#include <new>

namespace
{
    using RegistryBuffers::KeyInfo;

    const wchar_t* const WhereNewHolder = L"CRegistryKey::NewCCountedRegKey()";
    const wchar_t* const WhereConnect = L"CRegistryKey::CRegistryKey() - RegConnectRegistry";
    const wchar_t* const WhereOpen = L"CRegistryKey::CRegistryKey(HKEY hKey ...)";
    const wchar_t* const WhereQueryValue = L"CRegistryKey::QueryValue()";
    const wchar_t* const WhereSetValue = L"CRegistryKey::SetValue()";
    const wchar_t* const WhereSubkeyIterator = L"CRegistryKey::SubkeyIterator::SubkeyIterator()";
    const wchar_t* const WhereSubkeyInfo = L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()";
    const wchar_t* const WhereValueIterator = L"CRegistryKey::ValueIterator::ValueIterator()";
    const wchar_t* const WhereValueInfo = L"CRegistryKey::ValueIterator::GetValueInfo()";
    const wchar_t* const WhereDeleteKey = L"CRegistryKey::DeleteKey()";

    // Throws with `where` when the key cannot be asked.
    KeyInfo QueryKeyInfo(HKEY key, const wchar_t* where)
    {
        KeyInfo info;
        const LONG status = RegistryBuffers::Query(key, info);
        if (status != ERROR_SUCCESS)
            throw CRegistryKey::Exception(where, static_cast<DWORD>(status));
        return info;
    }

    // The text of a string value's data: up to its first null, never past its length.
    String TextUpToNull(const BYTE* data, DWORD size)
    {
        const size_t chars = size / sizeof(wchar_t);
        String text(chars, L'\0');
        if (chars > 0)
            std::memcpy(&text[0], data, chars * sizeof(wchar_t));
        const size_t end = text.find(L'\0');
        if (end != String::npos)
            text.resize(end);
        return text;
    }

    bool IsStringType(DWORD type)
    {
        return type == REG_SZ || type == REG_EXPAND_SZ;
    }

    bool IsDwordType(DWORD type)
    {
        return type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN;
    }

    // Reads a value whole into a buffer sized from the value's reported size, growing it when the
    // value grew in between. Gives the call's status; on success data holds `size` bytes.
    LONG ReadValue(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& data, DWORD& size)
    {
        size = 0;
        LONG status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
        while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)
        {
            // The spare character gives empty data a valid address.
            data.assign(static_cast<size_t>(size) + sizeof(wchar_t), 0);
            DWORD capacity = size;
            status = RegQueryValueExW(key, name, nullptr, &type, data.data(), &capacity);
            if (status == ERROR_SUCCESS)
            {
                size = capacity;
                return status;
            }
            if (status == ERROR_MORE_DATA)
                size = capacity > size ? capacity : size * 2 + 2;
        }
        return status;
    }

    // Opens root\subkey and reads the named value whole; false when either fails.
    bool ReadNamedValue(HKEY root, const String& subkey, const String& name, std::vector<BYTE>& data, DWORD& size)
    {
        UniqueRegKey key;
        if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            return false;
        DWORD type = 0;
        return ReadValue(key.get(), name.c_str(), type, data, size) == ERROR_SUCCESS;
    }

    // The value's type and size, without its data; throws when the value cannot be read.
    void QueryTypeAndSize(HKEY key, const String& name, DWORD& type, DWORD& size)
    {
        const LONG status = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
        if (status != ERROR_SUCCESS)
            throw CRegistryKey::Exception(WhereQueryValue, static_cast<DWORD>(status));
    }
}

CRegKeyIterator::CRegKeyIterator(CCountedRegKey* key) noexcept : m_key(key)
{
    if (m_key != nullptr)
        m_key->AddRef();
}

CRegKeyIterator::CRegKeyIterator(const CRegKeyIterator& other) noexcept
    : m_key(other.m_key), m_index(other.m_index)
{
    if (m_key != nullptr)
        m_key->AddRef();
}

CRegKeyIterator& CRegKeyIterator::operator=(const CRegKeyIterator& other) noexcept
{
    if (other.m_key != nullptr)
        other.m_key->AddRef();
    if (m_key != nullptr)
        m_key = m_key->Release();
    m_key = other.m_key;
    m_index = other.m_index;
    return *this;
}

CRegKeyIterator::~CRegKeyIterator()
{
    ReleaseKey();
}

void CRegKeyIterator::ReleaseKey() noexcept
{
    if (m_key != nullptr)
        m_key = m_key->Release();
    m_index = 0;
}

// ---------------------------------------------------------------------------------------------

CRegistryKey::SubkeyIteratorImpl::SubkeyIteratorImpl(CCountedRegKey* key) : CRegKeyIterator(key)
{
    if (m_key == nullptr)
        return;
    m_reader.Fit(QueryKeyInfo(m_key->GetHandle(), WhereSubkeyIterator));
}

bool CRegistryKey::SubkeyIteratorImpl::GetSubkeyInfo()
{
    const LONG status = m_reader.Read(m_key->GetHandle(), m_index);
    if (status == ERROR_NO_MORE_ITEMS)
        return false;
    if (status != ERROR_SUCCESS)
        throw CRegistryKey::Exception(WhereSubkeyInfo, static_cast<DWORD>(status));
    return true;
}

// ---------------------------------------------------------------------------------------------

CRegistryKey::ValueIteratorImpl::ValueIteratorImpl(CCountedRegKey* key) : CRegKeyIterator(key)
{
    if (m_key == nullptr)
        return;
    m_reader.Fit(QueryKeyInfo(m_key->GetHandle(), WhereValueIterator));
}

bool CRegistryKey::ValueIteratorImpl::GetValueInfo()
{
    m_hasText = false;
    m_text.clear();
    const LONG status = m_reader.Read(m_key->GetHandle(), m_index);
    if (status == ERROR_NO_MORE_ITEMS)
        return false;
    if (status != ERROR_SUCCESS)
        throw CRegistryKey::Exception(WhereValueInfo, static_cast<DWORD>(status));
    return true;
}

const String& CRegistryKey::ValueIteratorImpl::GetValueText() const
{
    if (m_hasText)
        return m_text;
    const BYTE* const data = m_reader.Data();
    const DWORD dataSize = m_reader.DataSize();
    switch (m_reader.Type())
    {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
        m_text = TextUpToNull(data, dataSize);
        break;
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        m_text = L"A number";
        break;
    default:
    {
        static const wchar_t digits[] = L"0123456789abcdef";
        m_text.clear();
        m_text.reserve(static_cast<size_t>(dataSize) * 2);
        for (DWORD i = 0; i < dataSize; ++i)
        {
            m_text += digits[data[i] >> 4];
            m_text += digits[data[i] & 0x0F];
        }
        break;
    }
    }
    m_hasText = true;
    return m_text;
}

// ---------------------------------------------------------------------------------------------

CCountedRegKey* CRegistryKey::NewCCountedRegKey(UniqueRegKey key)
{
    // Without a holder the key is closed as the owner goes.
    CCountedRegKey* holder = new (std::nothrow) CCountedRegKey(std::move(key));
    if (holder == nullptr)
        throw Exception(WhereNewHolder, ERROR_NOT_ENOUGH_MEMORY);
    return holder;
}

CRegistryKey::CRegistryKey(HKEY key) : m_holder(NewCCountedRegKey(UniqueRegKey(key)))
{
}

CRegistryKey::CRegistryKey(HKEY root, const String& subkey, REGSAM access, const wchar_t* machineName)
    : m_holder(nullptr)
{
    UniqueRegKey connected;
    if (machineName != nullptr)
    {
        const LONG status = RegConnectRegistryW(machineName, root, connected.put());
        if (status != ERROR_SUCCESS)
            throw Exception(WhereConnect, static_cast<DWORD>(status));
        root = connected.get();
    }
    UniqueRegKey opened;
    const LONG status = RegOpenKeyExW(root, subkey.c_str(), 0, access, opened.put());
    if (status != ERROR_SUCCESS)
        throw Exception(WhereOpen, static_cast<DWORD>(status));
    m_holder = NewCCountedRegKey(std::move(opened));
}

CRegistryKey::CRegistryKey(const CRegistryKey& other) noexcept : m_holder(other.m_holder)
{
    m_holder->AddRef();
}

CRegistryKey& CRegistryKey::operator=(const CRegistryKey& other) noexcept
{
    if (m_holder != other.m_holder)
    {
        other.m_holder->AddRef();
        m_holder->Release();
        m_holder = other.m_holder;
    }
    return *this;
}

CRegistryKey::~CRegistryKey()
{
    m_holder = m_holder->Release();
}

CRegistryKey CRegistryKey::OpenSubkey(const String& subkey, REGSAM access) const
{
    return CRegistryKey(GetHandle(), subkey, access);
}

bool CRegistryKey::SubkeyExists(const String& subkey, REGSAM access) const noexcept
{
    UniqueRegKey opened;
    return RegOpenKeyExW(GetHandle(), subkey.c_str(), 0, access, opened.put()) == ERROR_SUCCESS;
}

bool CRegistryKey::QueryValue(const String& name, String& text) const
{
    DWORD type = 0;
    DWORD size = 0;
    QueryTypeAndSize(GetHandle(), name, type, size);
    if (!IsStringType(type))
        return false;
    std::vector<BYTE> data;
    const LONG status = ReadValue(GetHandle(), name.c_str(), type, data, size);
    if (status != ERROR_SUCCESS)
        throw Exception(WhereQueryValue, static_cast<DWORD>(status));
    // The value may have been rewritten with another type between the two reads.
    if (!IsStringType(type))
        return false;
    text = TextUpToNull(data.data(), size);
    return true;
}

bool CRegistryKey::QueryValue(const String& name, DWORD& value) const
{
    DWORD type = 0;
    DWORD size = 0;
    QueryTypeAndSize(GetHandle(), name, type, size);
    if (!IsDwordType(type))
        return false;
    if (size != sizeof(DWORD))
        throw Exception(WhereQueryValue, 0);
    DWORD read = 0;
    const LONG status = RegQueryValueExW(GetHandle(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&read), &size);
    if (status != ERROR_SUCCESS)
        throw Exception(WhereQueryValue, static_cast<DWORD>(status));
    if (!IsDwordType(type) || size != sizeof(DWORD))
        throw Exception(WhereQueryValue, 0);
    value = read;
    return true;
}

void CRegistryKey::SetValue(const String& name, const String& text, DWORD type)
{
    if (!IsStringType(type))
        throw Exception(WhereSetValue, ERROR_INVALID_FLAGS);
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    const LONG status = RegSetValueExW(GetHandle(), name.c_str(), 0, type,
                                       reinterpret_cast<const BYTE*>(text.c_str()), size);
    if (status != ERROR_SUCCESS)
        throw Exception(WhereSetValue, static_cast<DWORD>(status));
}

void CRegistryKey::SetValue(const String& name, DWORD value, DWORD type)
{
    if (!IsDwordType(type))
        throw Exception(WhereSetValue, ERROR_INVALID_FLAGS);
    const LONG status = RegSetValueExW(GetHandle(), name.c_str(), 0, type,
                                       reinterpret_cast<const BYTE*>(&value), sizeof(value));
    if (status != ERROR_SUCCESS)
        throw Exception(WhereSetValue, static_cast<DWORD>(status));
}

void CRegistryKey::DeleteKey(const String& name)
{
    {
        const CRegistryKey subkey = OpenSubkey(name, KEY_ALL_ACCESS);
        if (subkey.BeginSubkeys() != subkey.EndSubkeys())
            throw Exception(WhereDeleteKey, ERROR_ACCESS_DENIED);
    }
    const LONG status = RegDeleteKeyW(GetHandle(), name.c_str());
    if (status != ERROR_SUCCESS)
        throw Exception(WhereDeleteKey, static_cast<DWORD>(status));
}

void CRegistryKey::DeleteKeyTree(const String& name)
{
    {
        CRegistryKey subkey = OpenSubkey(name, KEY_ALL_ACCESS);
        // Each deletion shifts the enumeration indexes, so the walk restarts at the first subkey.
        for (SubkeyIterator child = subkey.BeginSubkeys(); child != subkey.EndSubkeys(); child = subkey.BeginSubkeys())
            subkey.DeleteKeyTree(child.GetName());
    }
    DeleteKey(name);
}

// ---------------------------------------------------------------------------------------------

namespace Registry
{
    bool ValueExists(HKEY root, const String& subkey, const String& name) noexcept
    {
        UniqueRegKey key;
        if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            return false;
        return RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

    LONG GetString(HKEY root, const String& subkey, const String& name, String& value)
    {
        std::vector<BYTE> data;
        DWORD size = 0;
        if (!ReadNamedValue(root, subkey, name, data, size))
            return ERROR_FUNCTION_FAILED;
        value = TextUpToNull(data.data(), size);
        return ERROR_SUCCESS;
    }

    LONG GetMultiString(HKEY root, const String& subkey, const String& name, StringList& list)
    {
        std::vector<BYTE> data;
        DWORD size = 0;
        if (!ReadNamedValue(root, subkey, name, data, size))
            return ERROR_FUNCTION_FAILED;
        // Split at the nulls; the list ends at the first empty string or at the data's end,
        // whichever comes first, so a list without its final terminator is read whole.
        String all(size / sizeof(wchar_t), L'\0');
        if (!all.empty())
            std::memcpy(&all[0], data.data(), all.size() * sizeof(wchar_t));
        StringList strings;
        size_t start = 0;
        while (start < all.size())
        {
            size_t end = all.find(L'\0', start);
            if (end == String::npos)
                end = all.size();
            if (end == start)
                break;
            strings.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        list.swap(strings);
        return ERROR_SUCCESS;
    }
}
