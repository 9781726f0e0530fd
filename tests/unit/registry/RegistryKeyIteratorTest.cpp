#include "registry/RegistryKey.h"

#include "ScratchKey.h"

#include <optional>
#include <set>

using namespace RegistryTest;

namespace
{
    class RegistryKeyIterator : public ScratchKey
    {
    protected:
        CRegistryKey Scratch(REGSAM access = KEY_READ) const { return CRegistryKey(HKEY_CURRENT_USER, Path(), access); }
    };

    String Hex(const Bytes& bytes)
    {
        String text;
        for (BYTE b : bytes)
            text += Strings::Format(L"%02x", b);
        return text;
    }
}

TEST_F(RegistryKeyIterator, WalksEveryDirectItemWithNamesAtTheLimitAndLargeData)
{
    const CRegistryKey key = Scratch();
    EXPECT_TRUE(key.BeginSubkeys() == key.EndSubkeys());
    EXPECT_FALSE(key.BeginValues() != key.EndValues());

    std::set<String> subkeys = {L"alpha", L"Beta", String(255, L'k')};
    for (int i = 0; i < 40; ++i)
        subkeys.insert(Strings::Format(L"many%03d", i));
    for (const String& name : subkeys)
        CreateKey(name);
    CreateKey(L"alpha\\nested");
    const String longName(16383, L'n');
    const Bytes large = Pattern(70000);
    SetRaw(L"", longName, REG_SZ, ToBytes(L"long name"));
    SetRaw(L"", L"large", REG_BINARY, large);

    std::set<String> walked;
    for (auto it = key.BeginSubkeys(); it != key.EndSubkeys(); ++it)
        walked.insert(it.GetName());
    EXPECT_EQ(subkeys, walked);
    std::map<String, RawValue> values;
    auto it = key.BeginValues();
    for (; it != key.EndValues(); ++it)
        values[it.GetName()] = RawValue{it.GetType(), Bytes(it.GetData(), it.GetData() + it.GetDataSize())};
    EXPECT_EQ((std::map<String, RawValue>{{longName, {REG_SZ, ToBytes(L"long name")}}, {L"large", {REG_BINARY, large}}}),
              values);
    // The end stays the end.
    ++it;
    EXPECT_TRUE(it == key.EndValues());
}

TEST_F(RegistryKeyIterator, BuffersGrowForItemsAddedDuringTheWalk)
{
    SetRaw(L"", L"a", REG_BINARY, {0x01});
    CreateKey(L"a");
    const CRegistryKey key = Scratch();
    auto values = key.BeginValues();
    auto subkeys = key.BeginSubkeys();
    ASSERT_STREQ(L"a", values.GetName());
    ASSERT_STREQ(L"a", subkeys.GetName());

    // Larger than anything the iterators sized their buffers for.
    const String valueName = L"b" + String(400, L'x');
    const Bytes large = Pattern(9000);
    SetRaw(L"", valueName, REG_BINARY, large);
    const String keyName = L"b" + String(254, L'y');
    CreateKey(keyName, String(600, L'c').c_str());

    ++values;
    ASSERT_TRUE(values != key.EndValues());
    EXPECT_EQ(valueName, values.GetName());
    EXPECT_EQ(Hex(large), values.GetValueText());
    EXPECT_TRUE(++values == key.EndValues());
    ++subkeys;
    ASSERT_TRUE(subkeys != key.EndSubkeys());
    EXPECT_EQ(keyName, subkeys.GetName());
    EXPECT_TRUE(++subkeys == key.EndSubkeys());
}

TEST_F(RegistryKeyIterator, ACopyKeepsTheKeyOpenUntilItGoes)
{
    for (const wchar_t* name : {L"a", L"b", L"c"})
        CreateKey(name);
    HKEY handle = nullptr;
    std::optional<CRegistryKey::SubkeyIterator> copy;
    {
        const CRegistryKey key = Scratch();
        handle = key.GetHandle();
        auto original = key.BeginSubkeys();
        copy.emplace(original);
        ++original;
        // Iterators over two handles of one key are not equal.
        EXPECT_TRUE(key.BeginSubkeys() != Scratch().BeginSubkeys());
    }
    EXPECT_TRUE(HandleIsOpen(handle));
    std::set<String> names;
    for (; *copy != CRegistryKey::SubkeyIterator(nullptr); ++*copy)
        names.insert(copy->GetName());
    EXPECT_EQ((std::set<String>{L"a", L"b", L"c"}), names);
    // At its end the copy let go of the last reference.
    EXPECT_FALSE(HandleIsOpen(handle));
}

TEST_F(RegistryKeyIterator, FailuresThrowWithTheirPlaceAndReleaseTheKey)
{
    CreateKey(L"Doomed\\child");
    SetDword(L"Doomed", L"v", 1);
    SetDword(L"Doomed", L"w", 2);
    HKEY handle = nullptr;
    {
        const CRegistryKey key = Scratch().OpenSubkey(L"Doomed", KEY_READ);
        handle = key.GetHandle();
        auto subkeys = key.BeginSubkeys();
        auto values = key.BeginValues();
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CURRENT_USER, Path(L"Doomed").c_str()));
        ExpectKeyFailure(L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()", ERROR_KEY_DELETED, [&] { ++subkeys; });
        ExpectKeyFailure(L"CRegistryKey::ValueIterator::GetValueInfo()", ERROR_KEY_DELETED, [&] { ++values; });
        ExpectKeyFailure(L"CRegistryKey::SubkeyIterator::SubkeyIterator()", ERROR_KEY_DELETED, [&] { key.BeginSubkeys(); });
        ExpectKeyFailure(L"CRegistryKey::ValueIterator::ValueIterator()", ERROR_KEY_DELETED, [&] { key.BeginValues(); });
    }
    // Neither the failed constructions nor the failed moves kept a reference.
    EXPECT_FALSE(HandleIsOpen(handle));
    CreateKey(L"child");
    ExpectKeyFailure(L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()", ERROR_ACCESS_DENIED,
                     [&] { Scratch(KEY_QUERY_VALUE).BeginSubkeys(); });
}
