// A password's owner leaves no copy of it in memory it gives up: when it is wiped, cleared of its
// tail, moved from, or destroyed. Memory is read only while it is still the test's.

#include "text/Secret.h"
#include "module/ComponentRuns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

namespace
{
    // Whether the UTF-16 characters of text appear anywhere in the bytes.
    bool Holds(const void* bytes, size_t size, const wchar_t* text)
    {
        const auto* begin = static_cast<const char*>(bytes);
        const auto* pattern = reinterpret_cast<const char*>(text);
        return std::search(begin, begin + size, pattern, pattern + wcslen(text) * sizeof(wchar_t)) != begin + size;
    }

    bool AllZero(const wchar_t* characters, size_t count)
    {
        return std::all_of(characters, characters + count, [](wchar_t c) { return c == L'\0'; });
    }

    // An object built in storage of the test's, so that its bytes can be read after it is gone.
    template <typename Type>
    struct Storage
    {
        alignas(Type) unsigned char bytes[sizeof(Type)];
        Type& Object() { return *reinterpret_cast<Type*>(bytes); }
        bool Holds(const wchar_t* text) const { return ::Holds(bytes, sizeof bytes, text); }
    };
}

TEST(Secret, WipeOverwritesTheWholeBufferAndTruncateTheDroppedTail)
{
    const wchar_t* const password = L"correct horse battery staple, long enough for the heap";
    Secret secret(password, wcslen(password));
    EXPECT_EQ(password, secret.Get());
    const wchar_t* buffer = secret.Get().data();
    const size_t length = secret.Size();

    secret.Truncate(7);
    EXPECT_EQ(L"correct", secret.Get());
    // The same buffer still: the dropped characters are zeros, not left behind.
    ASSERT_EQ(buffer, secret.Get().data());
    EXPECT_TRUE(AllZero(buffer + 7, length - 7));

    secret.Wipe();
    EXPECT_TRUE(secret.Empty());
    ASSERT_EQ(buffer, secret.Get().data());
    EXPECT_TRUE(AllZero(buffer, length));
}

TEST(Secret, MovingLeavesNothingInTheSourceAndDestructionNothingInItsStorage)
{
    // Short texts live inside the owner itself, where the test can look after it is gone.
    Storage<Secret> first;
    new (first.bytes) Secret(L"hunter2", 7);
    Storage<Secret> second;
    new (second.bytes) Secret(std::move(first.Object()));
    EXPECT_TRUE(first.Object().Empty());
    EXPECT_EQ(L"hunter2", second.Object().Get());
    EXPECT_FALSE(first.Holds(L"hunter2"));

    Secret third(L"pa55", 4);
    third = std::move(second.Object());
    EXPECT_EQ(L"hunter2", third.Get());
    EXPECT_FALSE(second.Holds(L"hunter2"));

    Storage<Secret> last;
    new (last.bytes) Secret(std::move(third));
    ASSERT_TRUE(last.Holds(L"hunter2"));
    last.Object().~Secret();
    EXPECT_FALSE(last.Holds(L"hunter2"));
    first.Object().~Secret();
    second.Object().~Secret();

    static_assert(!std::is_copy_constructible<Secret>::value, "a secret has one owner");
}

TEST(Secret, AComponentJobWipesItsPasswordWhenItGoes)
{
    static_assert(!std::is_copy_constructible<ComponentJob>::value, "a job's password has one owner");
    Storage<ComponentJob> storage;
    new (storage.bytes) ComponentJob();
    storage.Object().user = L"backup";
    storage.Object().password = Secret(L"s3cret", 6);
    ASSERT_TRUE(storage.Holds(L"s3cret"));
    storage.Object().~ComponentJob();
    EXPECT_FALSE(storage.Holds(L"s3cret"));
}
