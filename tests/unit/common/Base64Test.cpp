#include "common/Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
    std::string Encoded(Base64& codec)
    {
        const BYTE* text = codec.GetEncoded();
        return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
    }

    // The decoded bytes as the codec counts them (three per started group).
    std::string Decoded(const std::string& text, Base64&& codec = Base64())
    {
        codec.Decode(reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()));
        const BYTE* bytes = codec.GetDecoded();
        return bytes == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(bytes), codec.GetDecodedLength());
    }

    std::vector<BYTE> PseudoRandomBytes(size_t length, unsigned seed)
    {
        std::vector<BYTE> bytes(length);
        for (BYTE& b : bytes)
        {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<BYTE>(seed >> 16);
        }
        return bytes;
    }
}

TEST(Base64, KnownVectorsAndTheDecodersLenience)
{
    const std::pair<std::string, std::string> encodings[] = {
        {"abc", "YWJj"}, {"a", "YQ=="}, {"ab", "YWI="}, {"abcd", "YWJjZA=="}, {"\xfb\xff\xbf", "+/+/"}};
    for (const auto& item : encodings)
    {
        Base64 codec;
        codec.Encode(reinterpret_cast<const BYTE*>(item.first.data()), static_cast<DWORD>(item.first.size()));
        EXPECT_EQ(item.second, Encoded(codec));
    }
    const std::pair<std::string, std::string> decodings[] = {
        {"YWJj", "abc"},
        // Padding decodes as zero bits; the group still writes and counts three bytes.
        {"YQ==", std::string("a\0\0", 3)},
        {"YWJjZA==", std::string("abcd\0\0", 6)},
        // A partial group writes three bytes but counts only its characters.
        {"YWJjZA", std::string("abcd\0", 5)},
        // Outside the alphabet: 254 in every place; '=' in the first two places is no zero bits.
        {"!!!!", "\xfb\xef\xbe"},
        {"==AA", std::string("\xff\xf0\0", 3)},
        // White space anywhere is skipped.
        {" Y\tW\nJ\rj\x0bY\x0cW\x07J\x08j ", "abcabc"}};
    for (const auto& item : decodings)
        EXPECT_EQ(item.second, Decoded(item.first)) << item.first;
    Base64 codec;
    Decoded("\t\r\n YWJj \n", std::move(codec));
    EXPECT_EQ("YWJj", Encoded(codec)) << "white space is not kept as encoded text either";
}

TEST(Base64, RoundTripsEveryLengthAndTopBitCharactersDecodeLikeTheirPlainTwins)
{
    Base64 codec;
    for (DWORD length = 0; length <= 1000; ++length)
    {
        const std::vector<BYTE> bytes = PseudoRandomBytes(length, length + 1);
        codec.Encode(bytes.data(), length);
        ASSERT_EQ((length + 2) / 3 * 4, codec.GetEncodedLength()) << length;
        std::string text = Encoded(codec);
        const std::string plain = Decoded(text);
        ASSERT_EQ((length + 2) / 3 * 3, plain.size()) << length;
        ASSERT_EQ(0, std::memcmp(bytes.data(), plain.data(), length)) << length;
        for (char& c : text)
            c = static_cast<char>(static_cast<BYTE>(c) | 0x80);
        ASSERT_EQ(plain, Decoded(text)) << length;
    }
}

TEST(Base64, BuffersAreReusedClearedAndGrownInWholeBlocks)
{
    // Nothing encoded or decoded on a fresh object: no buffer at all.
    Base64 codec;
    codec.Encode(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(nullptr, codec.GetEncoded());
    codec.Decode(reinterpret_cast<const BYTE*>(""), 0);
    EXPECT_EQ(nullptr, codec.GetDecoded());

    const std::vector<BYTE> longInput = PseudoRandomBytes(30, 1);
    codec.Encode(longInput.data(), 30);
    BYTE* buffer = codec.GetEncoded();
    codec.Encode(L"ab"); // the text's storage: 61 00 62 00
    // Same block reused, and nothing of the longer text is left behind.
    EXPECT_EQ(buffer, codec.GetEncoded());
    EXPECT_EQ("YQBiAA==", Encoded(codec));
    for (int i = 8; i < 4096; ++i)
        ASSERT_EQ(0, buffer[i]) << i;
    // 2 x 3000 bytes of text room needs a second block; the text stays terminated.
    const std::vector<BYTE> big = PseudoRandomBytes(3000, 2);
    codec.Encode(big.data(), 3000);
    EXPECT_EQ(4000u, Encoded(codec).size());

    // A source inside the codec's own buffer survives the buffer's clearing.
    codec.Decode(L"YWJj");
    codec.Encode(codec.GetDecoded(), 3);
    EXPECT_EQ("YWJj", Encoded(codec));
}

TEST(Base64, SizesThatWouldWrapAreRefusedBeforeAnyWrite)
{
    Base64 codec;
    codec.Encode(reinterpret_cast<const BYTE*>("abc"), 3);
    EXPECT_THROW(codec.AllocateEncoded(MAXDWORD), std::bad_alloc);
    EXPECT_THROW(codec.AllocateDecoded(MAXDWORD - 100), std::bad_alloc);
    EXPECT_EQ("YWJj", Encoded(codec));

    // Twice this length wraps to 2: the input must not even be read.
    struct RefusingToRead : Base64
    {
        void SetDecoded(const BYTE*, DWORD) override { throw std::logic_error("input read"); }
    } refusing;
    const BYTE few[4] = {};
    EXPECT_THROW(refusing.Encode(few, 0x80000001u), std::bad_alloc);
}
