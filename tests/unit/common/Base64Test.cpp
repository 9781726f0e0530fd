#include "text/Base64.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
    // Array allocations of this size or more fail; only the codec asks for blocks this large.
    std::atomic<std::size_t> g_failArraysFrom{SIZE_MAX};

    const BYTE* Bytes(const std::string& text) { return reinterpret_cast<const BYTE*>(text.data()); }

    std::string Encoded(Base64& codec)
    {
        return codec.GetEncoded() == nullptr ? std::string() : reinterpret_cast<const char*>(codec.GetEncoded());
    }

    // The decoded bytes as the codec counts them (three per started group).
    std::string Decoded(const std::string& text, Base64&& codec = Base64())
    {
        codec.Decode(Bytes(text), static_cast<DWORD>(text.size()));
        const BYTE* bytes = codec.GetDecoded();
        return bytes == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(bytes), codec.GetDecodedLength());
    }

    // Everything a caller can see of the codec.
    std::string StateOf(Base64& codec)
    {
        const BYTE* decoded = codec.GetDecoded();
        return Encoded(codec) + "|" + std::to_string(codec.GetEncodedLength()) + "|" +
               (decoded == nullptr ? "<null>" : std::string(reinterpret_cast<const char*>(decoded), codec.GetDecodedLength()));
    }

    std::vector<BYTE> PseudoRandomBytes(size_t length, unsigned seed)
    {
        std::vector<BYTE> bytes(length);
        for (BYTE& b : bytes)
            b = static_cast<BYTE>((seed = seed * 1103515245u + 12345u) >> 16);
        return bytes;
    }
}

void* operator new[](std::size_t size)
{
    if (size >= g_failArraysFrom)
        throw std::bad_alloc();
    return ::operator new(size);
}

// Round trips of the lengths that matter (each remainder of three, and past a group) are shown through
// the directory manifest's expiry token (ActiveDirectoryBackupSet).
TEST(Base64, KnownVectorsAndTheDecodersLenience)
{
    for (const auto& item : std::vector<std::pair<std::string, std::string>>{
             {"abc", "YWJj"}, {"a", "YQ=="}, {"ab", "YWI="}, {"abcd", "YWJjZA=="}, {"\xfb\xff\xbf", "+/+/"}})
    {
        Base64 codec;
        codec.Encode(Bytes(item.first), static_cast<DWORD>(item.first.size()));
        EXPECT_EQ(item.second, Encoded(codec));
        EXPECT_EQ(item.first, Decoded(item.second).substr(0, item.first.size()));
    }
    const std::pair<std::string, std::string> decodings[] = {
        // Padding decodes as zero bits; the group still writes and counts three bytes.
        {"YQ==", std::string("a\0\0", 3)},
        {"YWJjZA==", std::string("abcd\0\0", 6)},
        // A partial group writes three bytes but counts only its characters.
        {"YWJjZA", std::string("abcd\0", 5)},
        // Outside the alphabet: 254 in every place; '=' in the first two places is no zero bits.
        {"!!!!", "\xfb\xef\xbe"},
        {"==AA", std::string("\xff\xf0\0", 3)},
        {" Y\tW\nJ\rj\x0bY\x0cW\x07J\x08j ", "abcabc"},
        // A character with its top bit set decodes as its plain twin.
        {"\xd9\xd7\xca\xea", "abc"}};
    for (const auto& item : decodings)
        EXPECT_EQ(item.second, Decoded(item.first)) << item.first;
    Base64 codec;
    Decoded("\t\r\n YWJj \n", std::move(codec));
    EXPECT_EQ("YWJj", Encoded(codec)) << "white space is not kept as encoded text either";
}

TEST(Base64, BuffersAreClearedGrownAndMayBeTheirOwnSource)
{
    Base64 codec;
    codec.Encode(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(nullptr, codec.GetEncoded());
    codec.Decode(Bytes(""), 0);
    EXPECT_EQ(nullptr, codec.GetDecoded());

    const std::vector<BYTE> longInput = PseudoRandomBytes(30, 1);
    codec.Encode(longInput.data(), 30);
    codec.Encode(L"ab"); // the text's storage: 61 00 62 00
    EXPECT_EQ("YQBiAA==", Encoded(codec)) << "nothing of the longer text is left behind";
    codec.Encode(PseudoRandomBytes(3000, 2).data(), 3000);
    EXPECT_EQ(4000u, Encoded(codec).size());

    // A source inside the codec's own buffer survives the buffer's clearing.
    codec.Decode(L"YWJj");
    codec.Encode(codec.GetDecoded(), 3);
    EXPECT_EQ("YWJj", Encoded(codec));
}

TEST(Base64, SizesThatWouldWrapOrFindNoMemoryAreRefusedAndLeaveTheCodecAsItWas)
{
    Base64 wrapping;
    wrapping.Encode(Bytes("abc"), 3);
    EXPECT_THROW(wrapping.AllocateEncoded(MAXDWORD), std::bad_alloc);
    EXPECT_THROW(wrapping.AllocateDecoded(MAXDWORD - 100), std::bad_alloc);
    EXPECT_EQ("YWJj", Encoded(wrapping));
    // Twice this length wraps to 2: the input must not even be read.
    struct RefusingToRead : Base64
    {
        void SetDecoded(const BYTE*, DWORD) override { throw std::logic_error("input read"); }
    } refusing;
    const BYTE few[4] = {};
    EXPECT_THROW(refusing.Encode(few, 0x80000001u), std::bad_alloc);

    const std::string large(6000, 'x'); // past the first block of either buffer
    const DWORD size = static_cast<DWORD>(large.size());
    const std::pair<const char*, std::function<void(Base64&)>> cases[] = {
        {"Encode", [&](Base64& codec) { codec.Encode(Bytes(large), size); }},
        {"Decode", [&](Base64& codec) { codec.Decode(Bytes(large), size); }},
        {"AllocateEncoded", [&](Base64& codec) { codec.AllocateEncoded(size); }},
        {"AllocateDecoded", [&](Base64& codec) { codec.AllocateDecoded(size); }},
        {"SetDecoded", [&](Base64& codec) { codec.SetDecoded(Bytes(large), size); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.first);
        Base64 codec;
        codec.Decode(Bytes("YWJj"), 4);
        codec.Encode(Bytes("abc"), 3);
        const std::string before = StateOf(codec);
        g_failArraysFrom = 4097;
        EXPECT_THROW(c.second(codec), std::bad_alloc);
        g_failArraysFrom = SIZE_MAX;
        EXPECT_EQ(before, StateOf(codec));

        c.second(codec);
        codec.Encode(Bytes("abc"), 3);
        EXPECT_EQ("YWJj", Encoded(codec));
    }
}
