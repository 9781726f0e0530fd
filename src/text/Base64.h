#pragma once
// Base64 codec with two growable buffers. Every step is virtual and the steps call each other
// through the object, so a derived class can replace any one of them. Decoding never reports
// an error: characters outside the alphabet simply contribute their table value.

#include <windows.h>

class Base64
{
public:
    // The unit the group steps exchange: up to three input bytes and their count (encoding),
    // or four 6-bit values (decoding).
    struct Group
    {
        BYTE bytes[4];
        BYTE count;
    };

    // Table values of characters that are not alphabet characters, and of the padding.
    static const BYTE NotInAlphabet = 254;
    static const BYTE Padding = 255;

    Base64() = default;
    Base64(const Base64&) = delete;
    Base64& operator=(const Base64&) = delete;

    virtual ~Base64();

    // Encodes the UTF-16 storage of a NUL-terminated text (two bytes per character, without
    // the NUL). A null pointer does nothing.
    virtual void Encode(const wchar_t* text);
    // Encodes length bytes; the text is then at GetEncoded, NUL-terminated. More than 2 GB, or
    // no memory for the buffers, throws std::bad_alloc and leaves the object as it was.
    virtual void Encode(const BYTE* bytes, DWORD length);
    // Decodes a NUL-terminated UTF-16 Base64 text; characters above U+00FF count as characters
    // outside the alphabet. A null pointer does nothing.
    virtual void Decode(const wchar_t* text);
    // Decodes length characters; white space is skipped. The decoded length counts three bytes
    // per started group, so callers keep the true length themselves. No memory for the buffers
    // throws std::bad_alloc and leaves the object as it was.
    virtual void Decode(const BYTE* text, DWORD length);
    // The decoded bytes; null while nothing was ever decoded into a buffer.
    virtual BYTE* GetDecoded();
    // The encoded text (8-bit, NUL-terminated); null while nothing was ever encoded.
    virtual BYTE* GetEncoded();
    // Make room for size bytes (growing in whole 4096-byte blocks, never shrinking), clear the
    // buffer and set its length to 0. A size whose block would pass 4 GB throws std::bad_alloc
    // and leaves the buffer as it was.
    virtual void AllocateEncoded(DWORD size);
    virtual void AllocateDecoded(DWORD size);
    // Copies text into the encoded buffer without its white space.
    virtual void SetEncoded(const BYTE* text, DWORD length);
    virtual void SetDecoded(const BYTE* bytes, DWORD length);
    // Four characters for one group of count (1 to 3) bytes, padded with '='.
    virtual void EncodeGroup(const Group& group, BYTE* out);
    // Three bytes for one group of four 6-bit values.
    virtual void DecodeGroup(const Group& group, BYTE* out);
    // Three bytes (group.bytes[0..2]) into four 6-bit values.
    virtual void SplitGroup(const Group& group, Group& out);
    // Four 6-bit values into three bytes.
    virtual void JoinGroup(const Group& group, BYTE* out);
    // True for the byte values 7 to 13 and 32.
    virtual bool IsWhitespace(BYTE c);

    DWORD GetDecodedLength() const { return m_decodedLength; }
    DWORD GetEncodedLength() const { return m_encodedLength; }

private:
    BYTE* m_decoded = nullptr;
    BYTE* m_encoded = nullptr;
    DWORD m_decodedCapacity = 0;
    DWORD m_encodedCapacity = 0;
    DWORD m_decodedLength = 0;
    DWORD m_encodedLength = 0;
};
