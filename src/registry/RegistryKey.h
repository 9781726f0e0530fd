#pragma once
// Registry access for the registry and boot-file components: a key class whose copies share one
// counted handle, iterators over a key's subkeys and values, and value reads that never throw.

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "text/Strings.h"
#include "registry/Enumerator.h"

#include <windows.h>

#include <utility>
#include <vector>

// A registry key handle shared by the keys and iterators that copy it. The count starts at 1 (the
// creator's reference) and is changed only with interlocked calls, so owners on different threads
// may share a holder. Closing a predefined root key (HKEY_LOCAL_MACHINE, ...) has no effect, so
// wrapping one is harmless.
class CCountedRegKey
{
public:
    explicit CCountedRegKey(UniqueRegKey key) noexcept : m_key(std::move(key)) {}
    CCountedRegKey(const CCountedRegKey&) = delete;
    CCountedRegKey& operator=(const CCountedRegKey&) = delete;

    HKEY GetHandle() const noexcept { return m_key.get(); }

    void AddRef() noexcept { InterlockedIncrement(&m_count); }

    // Drops one reference; the last one closes the key and frees the holder. Always gives back
    // null, so the owner can write `m_holder = m_holder->Release();`.
    CCountedRegKey* Release() noexcept
    {
        if (InterlockedDecrement(&m_count) == 0)
            delete this;
        return nullptr;
    }

private:
    ~CCountedRegKey() = default;

    UniqueRegKey m_key;
    volatile LONG m_count = 1;
};

// Common part of both iterators: the shared key (null at the end) and the enumeration index of
// the next item to fetch. The end position is (null, 0).
class CRegKeyIterator
{
public:
    virtual ~CRegKeyIterator();

    bool operator==(const CRegKeyIterator& other) const noexcept
    {
        return m_key == other.m_key && m_index == other.m_index;
    }
    bool operator!=(const CRegKeyIterator& other) const noexcept { return !(*this == other); }

protected:
    explicit CRegKeyIterator(CCountedRegKey* key) noexcept;
    CRegKeyIterator(const CRegKeyIterator& other) noexcept;
    CRegKeyIterator& operator=(const CRegKeyIterator& other) noexcept;

    // Moves to the end position.
    void ReleaseKey() noexcept;

    CCountedRegKey* m_key;
    DWORD m_index = 0;
};

// The concrete iterators. Construction fetches the first item; advancing fetches the next one.
// Both become the end iterator when the key has no further items.
template <typename Impl>
class TRegKeyIterator : public Impl
{
public:
    explicit TRegKeyIterator(CCountedRegKey* key) : Impl(key)
    {
        if (this->m_key == nullptr)
            return;
        if (this->Fetch())
            this->m_index = 1;
        else
            this->ReleaseKey();
    }

    // Advancing the end iterator does nothing.
    TRegKeyIterator& operator++()
    {
        if (this->m_key == nullptr)
            return *this;
        if (this->Fetch())
            ++this->m_index;
        else
            this->ReleaseKey();
        return *this;
    }
};

class CRegistryKey
{
public:
    // Where-text (a constant naming the failing operation) and the Win32 code of the failure.
    class Exception : public CWin32Exception
    {
    public:
        using CWin32Exception::CWin32Exception;
    };

    class SubkeyIteratorImpl : public CRegKeyIterator
    {
    public:
        // Name of the current subkey; valid until the iterator moves.
        const wchar_t* GetName() const noexcept { return m_reader.Name(); }

    protected:
        // Sizes the buffers from the key's reported maxima. Throws CRegistryKey::Exception.
        explicit SubkeyIteratorImpl(CCountedRegKey* key);
        // Reads the subkey at the index; false when there is none. Throws CRegistryKey::Exception.
        bool GetSubkeyInfo();
        bool Fetch() { return GetSubkeyInfo(); }

    private:
        RegistryBuffers::SubkeyEnumerator m_reader;
    };

    class ValueIteratorImpl : public CRegKeyIterator
    {
    public:
        // Name of the current value; valid until the iterator moves.
        const wchar_t* GetName() const noexcept { return m_reader.Name(); }
        DWORD GetType() const noexcept { return m_reader.Type(); }
        // The current value's data, GetDataSize() bytes; valid until the iterator moves.
        const BYTE* GetData() const noexcept { return m_reader.Data(); }
        DWORD GetDataSize() const noexcept { return m_reader.DataSize(); }

        // The current value as text: strings (and the first string of a multi-string) up to
        // their first null, "A number" for DWORDs, lowercase hexadecimal bytes for the rest.
        // Formatted on the first request after each move.
        const String& GetValueText() const;

    protected:
        explicit ValueIteratorImpl(CCountedRegKey* key);
        // Reads the value at the index; false when there is none. Throws CRegistryKey::Exception.
        bool GetValueInfo();
        bool Fetch() { return GetValueInfo(); }

    private:
        RegistryBuffers::ValueEnumerator m_reader;
        mutable String m_text;
        mutable bool m_hasText = false;
    };

    using SubkeyIterator = TRegKeyIterator<SubkeyIteratorImpl>;
    using ValueIterator = TRegKeyIterator<ValueIteratorImpl>;

    // Takes over an open handle, closed with the last reference. If the holder cannot be
    // allocated the handle is closed and Exception(..., ERROR_NOT_ENOUGH_MEMORY) is thrown.
    explicit CRegistryKey(HKEY key);

    // Opens root\subkey with the access mask. With a machine name, root is first connected on
    // that machine. Throws Exception on failure.
    CRegistryKey(HKEY root, const String& subkey, REGSAM access, const wchar_t* machineName = nullptr);

    CRegistryKey(const CRegistryKey& other) noexcept;
    CRegistryKey& operator=(const CRegistryKey& other) noexcept;
    ~CRegistryKey();

    HKEY GetHandle() const noexcept { return m_holder->GetHandle(); }

    // Opens a key below this one; the new key owns its handle. Throws Exception on failure.
    CRegistryKey OpenSubkey(const String& subkey, REGSAM access) const;

    // True when the subkey opens with that access. Never throws.
    bool SubkeyExists(const String& subkey, REGSAM access) const noexcept;

    // Reads a REG_SZ or REG_EXPAND_SZ value whole (unexpanded, up to its first null) and gives
    // true. Any other type gives false and leaves text untouched. A missing value or failed read
    // throws Exception.
    bool QueryValue(const String& name, String& text) const;

    // Reads a REG_DWORD or REG_DWORD_BIG_ENDIAN value (raw, no byte swap) and gives true; one
    // whose size is not 4 throws Exception with code 0. Any other type gives false and leaves
    // value untouched. A missing value throws Exception.
    bool QueryValue(const String& name, DWORD& value) const;

    // Writes a REG_SZ or REG_EXPAND_SZ value with its terminating null. Another type throws
    // Exception(..., ERROR_INVALID_FLAGS) and writes nothing.
    void SetValue(const String& name, const String& text, DWORD type);

    // Writes a 4-byte REG_DWORD or REG_DWORD_BIG_ENDIAN value. Another type throws
    // Exception(..., ERROR_INVALID_FLAGS) and writes nothing.
    void SetValue(const String& name, DWORD value, DWORD type);

    // Deletes a subkey that has no subkeys; one that has throws Exception(..., ERROR_ACCESS_DENIED)
    // and nothing changes.
    void DeleteKey(const String& name);

    // Deletes a subkey with everything below it, depth first.
    void DeleteKeyTree(const String& name);

    SubkeyIterator BeginSubkeys() const { return SubkeyIterator(m_holder); }
    SubkeyIterator EndSubkeys() const { return SubkeyIterator(nullptr); }
    ValueIterator BeginValues() const { return ValueIterator(m_holder); }
    ValueIterator EndValues() const { return ValueIterator(nullptr); }

private:
    static CCountedRegKey* NewCCountedRegKey(UniqueRegKey key);

    CCountedRegKey* m_holder;
};

// Single value reads that never throw. Each opens root\subkey with KEY_QUERY_VALUE, closes it
// before returning and does not check the value's type.
namespace Registry
{
    // True when the key opens and the value can be queried.
    bool ValueExists(HKEY root, const String& subkey, const String& name) noexcept;

    // Reads the value whole, up to its first null. Gives 0, or ERROR_FUNCTION_FAILED (1627) when
    // the key does not open or the value cannot be read; value is untouched then.
    LONG GetString(HKEY root, const String& subkey, const String& name, String& value);

    // Reads a multi-string: its strings in order, up to the first empty one. Gives 0, or
    // ERROR_FUNCTION_FAILED (1627) with list untouched.
    LONG GetMultiString(HKEY root, const String& subkey, const String& name, StringList& list);
}
