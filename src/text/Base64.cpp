#include "text/Base64.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

namespace
{
    const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const DWORD BlockSize = 4096;

    // Built on the first decode and kept for the process; the system decodes on one thread at
    // a time, so no lock.
    BYTE DecodingTable[256];
    bool DecodingTableBuilt = false;

    void BuildDecodingTable()
    {
        std::memset(DecodingTable, Base64::NotInAlphabet, sizeof(DecodingTable));
        for (BYTE i = 0; i < 64; ++i)
        {
            const BYTE c = static_cast<BYTE>(Alphabet[i]);
            DecodingTable[c] = i;
            // Text that passed through a channel setting the top bit still decodes.
            DecodingTable[c + 128] = i;
        }
        DecodingTable['='] = Base64::Padding;
        DecodingTable['=' + 128] = Base64::Padding;
        DecodingTableBuilt = true;
    }

    // The capacity that holds size bytes: whole blocks, always more than size.
    DWORD BlockCapacity(DWORD size)
    {
        // Rounding up near 4 GB would wrap to a tiny block that the caller then overruns.
        const uint64_t capacity = (static_cast<uint64_t>(size) / BlockSize + 1) * BlockSize;
        if (capacity > MAXDWORD)
            throw std::bad_alloc();
        return static_cast<DWORD>(capacity);
    }

    // Grows the buffer to hold size bytes, keeping its contents; the new block is in hand before
    // the old one goes, so a failure leaves buffer and capacity as they were.
    void Reserve(BYTE*& buffer, DWORD& capacity, DWORD size)
    {
        if (capacity >= size)
            return;
        const DWORD newCapacity = BlockCapacity(size);
        BYTE* grown = new BYTE[newCapacity];
        std::memset(grown, 0, newCapacity);
        if (buffer != nullptr)
            std::memcpy(grown, buffer, capacity);
        delete[] buffer;
        buffer = grown;
        capacity = newCapacity;
    }

    void Allocate(BYTE*& buffer, DWORD& capacity, DWORD& length, DWORD size)
    {
        Reserve(buffer, capacity, size);
        if (buffer != nullptr)
            std::memset(buffer, 0, capacity);
        length = 0;
    }

    bool Overlaps(const BYTE* source, DWORD length, const BYTE* buffer, DWORD capacity)
    {
        if (source == nullptr || buffer == nullptr || length == 0)
            return false;
        const auto from = reinterpret_cast<uintptr_t>(source);
        const auto start = reinterpret_cast<uintptr_t>(buffer);
        return from < start + capacity && start < from + length;
    }

    // The source itself, or a copy of it in `copy` when it lies inside one of the object's
    // buffers, which are about to be grown, cleared and refilled.
    const BYTE* Detached(const BYTE* source, DWORD length, const BYTE* first, DWORD firstCapacity,
                         const BYTE* second, DWORD secondCapacity, std::vector<BYTE>& copy)
    {
        if (!Overlaps(source, length, first, firstCapacity) && !Overlaps(source, length, second, secondCapacity))
            return source;
        copy.assign(source, source + length);
        return copy.data();
    }

    // Padding in the third or fourth place stands for zero bits.
    BYTE LookUpNoPadding(BYTE c)
    {
        const BYTE value = DecodingTable[c];
        return value > Base64::NotInAlphabet ? 0 : value;
    }
}

Base64::~Base64()
{
    delete[] m_decoded;
    delete[] m_encoded;
}

void Base64::Encode(const wchar_t* text)
{
    if (text == nullptr)
        return;
    const size_t characters = std::wcslen(text);
    Encode(reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(characters * sizeof(wchar_t)));
}

void Base64::Encode(const BYTE* bytes, DWORD length)
{
    // The text needs room for twice the input; that size must not wrap.
    if (length > MAXDWORD / 2)
        throw std::bad_alloc();
    // Both buffers are made large enough before either changes, so running out of memory
    // leaves the object as it was.
    std::vector<BYTE> copy;
    bytes = Detached(bytes, length, m_decoded, m_decodedCapacity, m_encoded, m_encodedCapacity, copy);
    Reserve(m_decoded, m_decodedCapacity, length);
    Reserve(m_encoded, m_encodedCapacity, 2 * length);
    SetDecoded(bytes, length);
    AllocateEncoded(2 * length);

    const BYTE* source = GetDecoded();
    BYTE* out = m_encoded;
    DWORD position = 0;
    for (; position + 3 <= length; position += 3)
    {
        Group group = {{source[position], source[position + 1], source[position + 2], 0}, 3};
        EncodeGroup(group, out + m_encodedLength);
        m_encodedLength += 4;
    }
    const DWORD remaining = length - position;
    if (remaining > 0)
    {
        Group group = {{source[position], 0, 0, 0}, static_cast<BYTE>(remaining)};
        if (remaining == 2)
            group.bytes[1] = source[position + 1];
        EncodeGroup(group, out + m_encodedLength);
        m_encodedLength += 4;
    }
}

void Base64::Decode(const wchar_t* text)
{
    if (text == nullptr)
        return;
    const size_t characters = std::wcslen(text);
    std::vector<BYTE> narrow(characters);
    for (size_t i = 0; i < characters; ++i)
        narrow[i] = text[i] <= 0xFF ? static_cast<BYTE>(text[i]) : 0x7F;
    Decode(narrow.data(), static_cast<DWORD>(characters));
}

void Base64::Decode(const BYTE* text, DWORD length)
{
    if (!DecodingTableBuilt)
        BuildDecodingTable();

    std::vector<BYTE> copy;
    text = Detached(text, length, m_decoded, m_decodedCapacity, m_encoded, m_encodedCapacity, copy);
    Reserve(m_encoded, m_encodedCapacity, length);
    Reserve(m_decoded, m_decodedCapacity, length);
    SetEncoded(text, length);
    AllocateDecoded(length);

    const BYTE* source = GetEncoded();
    const DWORD characters = m_encodedLength;
    DWORD position = 0;
    for (; position + 4 <= characters; position += 4)
    {
        Group group = {{DecodingTable[source[position]], DecodingTable[source[position + 1]],
                        LookUpNoPadding(source[position + 2]), LookUpNoPadding(source[position + 3])},
                       4};
        DecodeGroup(group, m_decoded + m_decodedLength);
        m_decodedLength += 3;
    }
    const DWORD remaining = characters - position;
    if (remaining > 0)
    {
        Group group = {{0, 0, 0, 0}, static_cast<BYTE>(remaining)};
        for (DWORD i = 0; i < remaining; ++i)
            group.bytes[i] = LookUpNoPadding(source[position + i]);
        DecodeGroup(group, m_decoded + m_decodedLength);
        m_decodedLength += remaining;
    }
}

BYTE* Base64::GetDecoded()
{
    return m_decoded;
}

BYTE* Base64::GetEncoded()
{
    return m_encoded;
}

void Base64::AllocateEncoded(DWORD size)
{
    Allocate(m_encoded, m_encodedCapacity, m_encodedLength, size);
}

void Base64::AllocateDecoded(DWORD size)
{
    Allocate(m_decoded, m_decodedCapacity, m_decodedLength, size);
}

void Base64::SetEncoded(const BYTE* text, DWORD length)
{
    std::vector<BYTE> copy;
    text = Detached(text, length, m_encoded, m_encodedCapacity, nullptr, 0, copy);
    AllocateEncoded(length);
    for (DWORD i = 0; i < length; ++i)
    {
        if (!IsWhitespace(text[i]))
            m_encoded[m_encodedLength++] = text[i];
    }
}

void Base64::SetDecoded(const BYTE* bytes, DWORD length)
{
    std::vector<BYTE> copy;
    bytes = Detached(bytes, length, m_decoded, m_decodedCapacity, nullptr, 0, copy);
    AllocateDecoded(length);
    if (length > 0)
        std::memcpy(m_decoded, bytes, length);
    m_decodedLength = length;
}

void Base64::EncodeGroup(const Group& group, BYTE* out)
{
    Group values = {};
    SplitGroup(group, values);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<BYTE>(Alphabet[values.bytes[i] & 0x3F]);
    if (group.count == 1)
        out[2] = '=';
    if (group.count <= 2)
        out[3] = '=';
}

void Base64::DecodeGroup(const Group& group, BYTE* out)
{
    JoinGroup(group, out);
}

void Base64::SplitGroup(const Group& group, Group& out)
{
    out.bytes[0] = static_cast<BYTE>(group.bytes[0] >> 2);
    out.bytes[1] = static_cast<BYTE>(((group.bytes[0] & 0x03) << 4) | (group.bytes[1] >> 4));
    out.bytes[2] = static_cast<BYTE>(((group.bytes[1] & 0x0F) << 2) | (group.bytes[2] >> 6));
    out.bytes[3] = static_cast<BYTE>(group.bytes[2] & 0x3F);
    out.count = group.count;
}

void Base64::JoinGroup(const Group& group, BYTE* out)
{
    out[0] = static_cast<BYTE>((group.bytes[0] << 2) | ((group.bytes[1] & 0x30) >> 4));
    out[1] = static_cast<BYTE>((group.bytes[1] << 4) | ((group.bytes[2] & 0x3C) >> 2));
    out[2] = static_cast<BYTE>((group.bytes[2] << 6) | (group.bytes[3] & 0x3F));
}

bool Base64::IsWhitespace(BYTE c)
{
    return (c >= 7 && c <= 13) || c == 32;
}
