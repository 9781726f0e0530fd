#include "common/Base64.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

// Array allocations of this size or more fail while a test asks for it; the codec allocates
// its buffers with new[], and nothing else in the program asks for blocks this large.
namespace
{
    std::atomic<std::size_t> g_failArraysFrom{SIZE_MAX};

    class ArraysFailFrom
    {
    public:
        explicit ArraysFailFrom(std::size_t size) { g_failArraysFrom = size; }
        ~ArraysFailFrom() { g_failArraysFrom = SIZE_MAX; }
        ArraysFailFrom(const ArraysFailFrom&) = delete;
        ArraysFailFrom& operator=(const ArraysFailFrom&) = delete;
    };

    // Everything a caller can see of the codec.
    struct State
    {
        std::string encoded;
        std::string decoded;
        DWORD encodedLength;
        DWORD decodedLength;

        bool operator==(const State& other) const
        {
            return encoded == other.encoded && decoded == other.decoded && encodedLength == other.encodedLength &&
                   decodedLength == other.decodedLength;
        }
    };

    State StateOf(Base64& codec)
    {
        const BYTE* encoded = codec.GetEncoded();
        const BYTE* decoded = codec.GetDecoded();
        return {encoded == nullptr ? "<null>" : std::string(reinterpret_cast<const char*>(encoded), codec.GetEncodedLength()),
                decoded == nullptr ? "<null>" : std::string(reinterpret_cast<const char*>(decoded), codec.GetDecodedLength()),
                codec.GetEncodedLength(), codec.GetDecodedLength()};
    }

    void PrintTo(const State& state, std::ostream* out)
    {
        *out << "encoded [" << state.encoded << "] (" << state.encodedLength << "), decoded [" << state.decoded
             << "] (" << state.decodedLength << ")";
    }

    const std::string Small = "abc";
    // Larger than the first block of either buffer.
    const std::string Large(6000, 'x');
}

void* operator new[](std::size_t size)
{
    if (size >= g_failArraysFrom)
        throw std::bad_alloc();
    return ::operator new(size);
}

TEST(Base64OutOfMemory, AFailedOperationLeavesTheCodecAsItWas)
{
    struct Case
    {
        const char* name;
        void (*operation)(Base64&);
    };
    const Case cases[] = {
        {"Encode", [](Base64& codec) { codec.Encode(reinterpret_cast<const BYTE*>(Large.data()), static_cast<DWORD>(Large.size())); }},
        {"Decode", [](Base64& codec) { codec.Decode(reinterpret_cast<const BYTE*>(Large.data()), static_cast<DWORD>(Large.size())); }},
        {"AllocateEncoded", [](Base64& codec) { codec.AllocateEncoded(static_cast<DWORD>(Large.size())); }},
        {"AllocateDecoded", [](Base64& codec) { codec.AllocateDecoded(static_cast<DWORD>(Large.size())); }},
        {"SetDecoded", [](Base64& codec) { codec.SetDecoded(reinterpret_cast<const BYTE*>(Large.data()), static_cast<DWORD>(Large.size())); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        // Both buffers hold something: a decoded text and the encoded form of other bytes.
        Base64 codec;
        codec.Decode(reinterpret_cast<const BYTE*>("YWJj"), 4);
        codec.Encode(reinterpret_cast<const BYTE*>(Small.data()), static_cast<DWORD>(Small.size()));
        const State before = StateOf(codec);
        ASSERT_EQ("YWJj", before.encoded);

        {
            ArraysFailFrom failing(4097);
            EXPECT_THROW(c.operation(codec), std::bad_alloc);
        }
        EXPECT_EQ(before, StateOf(codec));

        // And the codec goes on working once memory is there again.
        c.operation(codec);
        codec.Encode(reinterpret_cast<const BYTE*>(Small.data()), static_cast<DWORD>(Small.size()));
        EXPECT_EQ("YWJj", StateOf(codec).encoded);
    }
}
