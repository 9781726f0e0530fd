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

    std::string EncodeText(const std::string& bytes)
    {
        Base64 codec;
        codec.Encode(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
        return Encoded(codec);
    }

    // The decoded bytes as the codec counts them (three per started group).
    std::string DecodeText(Base64& codec, const std::string& text)
    {
        codec.Decode(reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()));
        const BYTE* bytes = codec.GetDecoded();
        return bytes == nullptr ? std::string()
                                : std::string(reinterpret_cast<const char*>(bytes), codec.GetDecodedLength());
    }

    std::string DecodeText(const std::string& text)
    {
        Base64 codec;
        return DecodeText(codec, text);
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

TEST(Base64, EncodesTheKnownVectorsWithPadding)
{
    EXPECT_EQ("YWJj", EncodeText("abc"));
    EXPECT_EQ("YQ==", EncodeText("a"));
    EXPECT_EQ("YWI=", EncodeText("ab"));
    EXPECT_EQ("YWJjZA==", EncodeText("abcd"));
    EXPECT_EQ("+/+/", EncodeText("\xfb\xff\xbf"));
}

TEST(Base64, DecodingWritesWholeGroupsAndNeverRejectsACharacter)
{
    EXPECT_EQ("abc", DecodeText("YWJj"));
    // Padding decodes as zero bits; the group still writes and counts three bytes.
    EXPECT_EQ(std::string("a\0\0", 3), DecodeText("YQ=="));
    EXPECT_EQ(std::string("abcd\0\0", 6), DecodeText("YWJjZA=="));

    // A partial group writes three bytes but counts only its characters.
    Base64 codec;
    EXPECT_EQ(std::string("abcd\0", 5), DecodeText(codec, "YWJjZA"));
    EXPECT_EQ(0, codec.GetDecoded()[5]);

    // Outside the alphabet: 254 in every place (0xF8|3, 0xE0|0xF, 0x80|0x3E); '=' in the first
    // two places is not turned into zero bits.
    EXPECT_EQ("\xfb\xef\xbe", DecodeText("!!!!"));
    EXPECT_EQ(std::string("\xff\xf0\0", 3), DecodeText("==AA"));

    // White space anywhere is skipped, and not kept as encoded text either.
    EXPECT_EQ("abcabc", DecodeText(" Y\tW\nJ\rj\x0bY\x0cW\x07J\x08j "));
    DecodeText(codec, "\t\r\n YWJj \n");
    EXPECT_STREQ("YWJj", reinterpret_cast<const char*>(codec.GetEncoded()));
}

TEST(Base64, TopBitCharactersDecodeLikeTheirPlainTwins)
{
    const std::vector<BYTE> bytes = PseudoRandomBytes(301, 7);
    Base64 encoder;
    encoder.Encode(bytes.data(), static_cast<DWORD>(bytes.size()));
    std::string text(reinterpret_cast<const char*>(encoder.GetEncoded()));
    ASSERT_NE(std::string::npos, text.find('=')); // the padding twin is covered too
    const std::string plain = DecodeText(text);
    for (char& c : text)
        c = static_cast<char>(static_cast<BYTE>(c) | 0x80);
    EXPECT_EQ(plain, DecodeText(text));
    EXPECT_EQ(0, std::memcmp(bytes.data(), plain.data(), bytes.size()));
}

TEST(Base64, RoundTripsEveryLengthUpToOneThousand)
{
    Base64 codec;
    for (DWORD length = 0; length <= 1000; ++length)
    {
        const std::vector<BYTE> bytes = PseudoRandomBytes(length, length + 1);
        codec.Encode(bytes.data(), length);
        ASSERT_EQ((length + 2) / 3 * 4, codec.GetEncodedLength()) << length;
        const std::string encoded = Encoded(codec);
        Base64 decoder;
        decoder.Decode(reinterpret_cast<const BYTE*>(encoded.data()), static_cast<DWORD>(encoded.size()));
        ASSERT_EQ((length + 2) / 3 * 3, decoder.GetDecodedLength()) << length;
        if (length > 0)
        {
            ASSERT_EQ(0, std::memcmp(bytes.data(), decoder.GetDecoded(), length)) << length;
        }
    }
}

TEST(Base64, ReusedBuffersAreClearedAndGrowInWholeBlocks)
{
    Base64 codec;
    const std::vector<BYTE> long_input = PseudoRandomBytes(30, 1);
    codec.Encode(long_input.data(), 30);
    BYTE* buffer = codec.GetEncoded();
    ASSERT_EQ(40u, std::strlen(reinterpret_cast<const char*>(buffer)));
    codec.Encode(reinterpret_cast<const BYTE*>("abc"), 3);
    // Same block reused, and nothing of the longer text is left behind.
    EXPECT_EQ(buffer, codec.GetEncoded());
    EXPECT_STREQ("YWJj", reinterpret_cast<const char*>(codec.GetEncoded()));
    for (int i = 4; i < 4096; ++i)
        ASSERT_EQ(0, buffer[i]) << i;

    // 2 x 3000 bytes of text room needs a second block; the text stays terminated.
    const std::vector<BYTE> big = PseudoRandomBytes(3000, 2);
    codec.Encode(big.data(), 3000);
    EXPECT_EQ(4000u, std::strlen(reinterpret_cast<const char*>(codec.GetEncoded())));

    // A source inside the codec's own buffer survives the buffer's clearing.
    DecodeText(codec, "YWJj");
    codec.Encode(codec.GetDecoded(), 3);
    EXPECT_EQ("YWJj", Encoded(codec));
}

TEST(Base64, WideTextFormsUseTheTextsStorage)
{
    // Nothing to encode or decode on a fresh object: no buffer at all.
    Base64 codec;
    codec.Encode(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(nullptr, codec.GetEncoded());
    codec.Decode(reinterpret_cast<const BYTE*>(""), 0);
    EXPECT_EQ(nullptr, codec.GetDecoded());
    EXPECT_EQ(0u, codec.GetDecodedLength());
    codec.Encode(L"ab"); // 61 00 62 00
    EXPECT_EQ("YQBiAA==", Encoded(codec));
    codec.Decode(L"YWJj");
    EXPECT_EQ(std::string("abc"), std::string(reinterpret_cast<const char*>(codec.GetDecoded()), 3));
}

TEST(Base64, SizesThatWouldWrapAreRefusedBeforeAnyWrite)
{
    Base64 codec;
    codec.Encode(reinterpret_cast<const BYTE*>("abc"), 3);
    EXPECT_THROW(codec.AllocateEncoded(MAXDWORD), std::bad_alloc);
    EXPECT_THROW(codec.AllocateDecoded(MAXDWORD - 100), std::bad_alloc);
    // The buffers are left as they were.
    EXPECT_EQ("YWJj", Encoded(codec));

    // Twice this length wraps to 2: the input must not even be read.
    struct RefusingToRead : Base64
    {
        void SetDecoded(const BYTE*, DWORD) override { throw std::logic_error("input read"); }
    } refusing;
    const BYTE few[4] = {};
    EXPECT_THROW(refusing.Encode(few, 0x80000001u), std::bad_alloc);
}

namespace
{
    // Steps are reached through the object: replacing one changes the whole codec.
    class DashSkippingBase64 : public Base64
    {
    public:
        bool IsWhitespace(BYTE c) override { return c == '-' || Base64::IsWhitespace(c); }
        void EncodeGroup(const Group& group, BYTE* out) override
        {
            ++groupsEncoded;
            Base64::EncodeGroup(group, out);
        }
        void JoinGroup(const Group& group, BYTE* out) override
        {
            Base64::JoinGroup(group, out);
            out[0] = static_cast<BYTE>(out[0] ^ 0x20); // visible mark
        }
        int groupsEncoded = 0;
    };
}

TEST(Base64, DerivedClassesReplaceSingleSteps)
{
    DashSkippingBase64 codec;
    codec.Encode(reinterpret_cast<const BYTE*>("abcdefg"), 7);
    EXPECT_EQ(3, codec.groupsEncoded);
    EXPECT_EQ("Abc", DecodeText(codec, "YW-Jj"));
}
