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
        CRegistryKey OpenScratch(REGSAM access = KEY_READ) const { return CRegistryKey(HKEY_CURRENT_USER, Path(), access); }

        std::set<String> SubkeyNames(const CRegistryKey& key) const
        {
            std::set<String> names;
            for (auto it = key.BeginSubkeys(); it != key.EndSubkeys(); ++it)
                names.insert(it.GetName());
            return names;
        }

        // name -> text, in enumeration order checked separately where it matters.
        std::map<String, String> ValueTexts(const CRegistryKey& key) const
        {
            std::map<String, String> texts;
            for (auto it = key.BeginValues(); it != key.EndValues(); ++it)
                texts[it.GetName()] = it.GetValueText();
            return texts;
        }
    };
}

// ---- Empty keys and the end position ----------------------------------------------------------

TEST_F(RegistryKeyIterator, AnEmptyKeyBeginsAtTheEnd)
{
    const CRegistryKey key = OpenScratch();
    EXPECT_TRUE(key.BeginSubkeys() == key.EndSubkeys());
    EXPECT_FALSE(key.BeginSubkeys() != key.EndSubkeys());
    EXPECT_TRUE(key.BeginValues() == key.EndValues());
}

TEST_F(RegistryKeyIterator, SubkeysOnlyOrValuesOnlyLeaveTheOtherWalkEmpty)
{
    CreateKey(L"OnlySubkeys\\Child");
    SetDword(L"OnlyValues", L"v", 1);
    const CRegistryKey subkeys = OpenScratch().OpenSubkey(L"OnlySubkeys", KEY_READ);
    EXPECT_TRUE(subkeys.BeginValues() == subkeys.EndValues());
    EXPECT_TRUE(subkeys.BeginSubkeys() != subkeys.EndSubkeys());
    const CRegistryKey values = OpenScratch().OpenSubkey(L"OnlyValues", KEY_READ);
    EXPECT_TRUE(values.BeginSubkeys() == values.EndSubkeys());
    EXPECT_TRUE(values.BeginValues() != values.EndValues());
}

TEST_F(RegistryKeyIterator, AdvancingTheEndDoesNothing)
{
    SetDword(L"", L"only", 1);
    const CRegistryKey key = OpenScratch();
    auto it = key.BeginValues();
    ASSERT_TRUE(it != key.EndValues());
    ++it;
    EXPECT_TRUE(it == key.EndValues());
    ++it;
    ++it;
    EXPECT_TRUE(it == key.EndValues());
}

// ---- Names ------------------------------------------------------------------------------------

TEST_F(RegistryKeyIterator, WalksEverySubkeyOnceIncludingNamesAtTheLimit)
{
    const String longest(255, L'k');
    std::set<String> expected = {L"alpha", L"Beta", L"gamma delta", longest};
    for (int i = 0; i < 40; ++i)
        expected.insert(Strings::Format(L"many%03d", i));
    for (const String& name : expected)
        CreateKey(name);
    CreateKey(L"alpha\\nested"); // only direct children are walked

    EXPECT_EQ(expected, SubkeyNames(OpenScratch()));
}

TEST_F(RegistryKeyIterator, WalksEveryValueWithLongNamesAndLargeData)
{
    const String longName(16383, L'n');
    const Bytes large = Pattern(70000);
    SetRaw(L"", longName, REG_BINARY, {0x01});
    SetRaw(L"", L"large", REG_BINARY, large);
    SetRaw(L"", L"", REG_SZ, ToBytes(L"default"));
    SetDword(L"", L"number", 9);

    const CRegistryKey key = OpenScratch();
    std::map<String, std::pair<DWORD, Bytes>> seen;
    for (auto it = key.BeginValues(); it != key.EndValues(); ++it)
        seen[it.GetName()] = {it.GetType(), Bytes(it.GetData(), it.GetData() + it.GetDataSize())};

    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(REG_BINARY, seen[longName].first);
    EXPECT_EQ(Bytes{0x01}, seen[longName].second);
    EXPECT_EQ(large, seen[L"large"].second);
    EXPECT_EQ(ToBytes(L"default"), seen[L""].second);
    EXPECT_EQ((Bytes{9, 0, 0, 0}), seen[L"number"].second);
}

// ---- Value texts ------------------------------------------------------------------------------

TEST_F(RegistryKeyIterator, ValueTextsFollowTheValueType)
{
    SetRaw(L"", L"bin", REG_BINARY, {0x0A, 0xFF, 0x00});
    SetRaw(L"", L"emptybin", REG_BINARY, {});
    SetRaw(L"", L"none", REG_NONE, {0xDE, 0xAD});
    SetRaw(L"", L"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 0x80});
    SetDword(L"", L"dword", 0xdeadbeef);
    SetDword(L"", L"bigendian", 7, REG_DWORD_BIG_ENDIAN);
    SetRaw(L"", L"multi", REG_MULTI_SZ, MultiString({L"first", L"second", L"third"}));
    SetRaw(L"", L"sz", REG_SZ, ToBytes(L"text value"));
    SetRaw(L"", L"expand", REG_EXPAND_SZ, ToBytes(L"%SystemRoot%"));
    SetRaw(L"", L"embedded", REG_SZ, ToBytes(String(L"before\0after", 12)));
    SetRaw(L"", L"emptysz", REG_SZ, {});

    const std::map<String, String> expected = {
        {L"bin", L"0aff00"},         {L"emptybin", L""},       {L"none", L"dead"},
        {L"qword", L"0102030405060780"}, {L"dword", L"A number"}, {L"bigendian", L"A number"},
        {L"multi", L"first"},        {L"sz", L"text value"},   {L"expand", L"%SystemRoot%"},
        {L"embedded", L"before"},    {L"emptysz", L""}};
    EXPECT_EQ(expected, ValueTexts(OpenScratch()));
}

TEST_F(RegistryKeyIterator, TextOfAStringWithoutTerminatorStopsAtItsLength)
{
    // The longest value sizes the data buffer, leaving no spare room after this one's data.
    SetRaw(L"", L"unterminated", REG_SZ, ToBytes(L"abc", false));
    SetRaw(L"", L"odd", REG_SZ, Bytes{'x', 0, 'y'});
    EXPECT_EQ((std::map<String, String>{{L"unterminated", L"abc"}, {L"odd", L"x"}}), ValueTexts(OpenScratch()));
}

TEST_F(RegistryKeyIterator, TextOfLargeBinaryDataIsWhole)
{
    const Bytes large = Pattern(6000);
    SetRaw(L"", L"large", REG_BINARY, large);
    const CRegistryKey key = OpenScratch();
    auto it = key.BeginValues();
    ASSERT_TRUE(it != key.EndValues());
    const String& text = it.GetValueText();
    EXPECT_EQ(12000u, text.size());
    EXPECT_EQ(Hex(large), text);
    // Cached until the iterator moves: the same text object again.
    EXPECT_EQ(&text, &it.GetValueText());
}

TEST_F(RegistryKeyIterator, TextIsFormattedAfreshAfterEachMove)
{
    SetRaw(L"", L"a", REG_SZ, ToBytes(L"first text"));
    SetRaw(L"", L"b", REG_BINARY, {0x12});
    const CRegistryKey key = OpenScratch();
    auto it = key.BeginValues();
    const String first = it.GetName();
    const String firstText = it.GetValueText();
    ++it;
    ASSERT_TRUE(it != key.EndValues());
    EXPECT_NE(first, it.GetName());
    EXPECT_EQ(first == L"a" ? L"12" : L"first text", it.GetValueText());
    EXPECT_EQ(first == L"a" ? L"first text" : L"12", firstText);
}

// ---- Buffers grow when the key changes under the walk -----------------------------------------

TEST_F(RegistryKeyIterator, ValueBuffersGrowForItemsAddedAfterConstruction)
{
    SetRaw(L"", L"a", REG_BINARY, {0x01});
    const CRegistryKey key = OpenScratch();
    auto it = key.BeginValues();
    ASSERT_TRUE(it != key.EndValues());
    ASSERT_STREQ(L"a", it.GetName());

    // Larger in name and data than anything the iterator sized its buffers for.
    const String longName = L"b" + String(400, L'x');
    const Bytes large = Pattern(9000);
    SetRaw(L"", longName, REG_BINARY, large);

    ++it;
    ASSERT_TRUE(it != key.EndValues());
    EXPECT_EQ(longName, it.GetName());
    EXPECT_EQ(9000u, it.GetDataSize());
    EXPECT_EQ(Hex(large), it.GetValueText());
    ++it;
    EXPECT_TRUE(it == key.EndValues());
}

TEST_F(RegistryKeyIterator, SubkeyBuffersGrowForItemsAddedAfterConstruction)
{
    CreateKey(L"a");
    const CRegistryKey key = OpenScratch();
    auto it = key.BeginSubkeys();
    ASSERT_TRUE(it != key.EndSubkeys());
    ASSERT_STREQ(L"a", it.GetName());

    const String longName = L"b" + String(254, L'y');
    const String longClass(600, L'c');
    CreateKey(longName, longClass.c_str());

    ++it;
    ASSERT_TRUE(it != key.EndSubkeys());
    EXPECT_EQ(longName, it.GetName());
    ++it;
    EXPECT_TRUE(it == key.EndSubkeys());
}

// ---- Sharing and copying ----------------------------------------------------------------------

TEST_F(RegistryKeyIterator, ACopiedIteratorKeepsTheKeyOpenUntilItGoes)
{
    CreateKey(L"a");
    CreateKey(L"b");
    CreateKey(L"c");
    HKEY handle = nullptr;
    std::optional<CRegistryKey::SubkeyIterator> copy;
    {
        const CRegistryKey key = OpenScratch();
        handle = key.GetHandle();
        auto original = key.BeginSubkeys();
        copy.emplace(original);
        ++original;
    }
    // The key and the first iterator are gone; the copy still walks the open handle.
    EXPECT_TRUE(HandleIsOpen(handle));
    std::set<String> names = {copy->GetName()};
    for (++*copy; *copy != CRegistryKey::SubkeyIterator(nullptr); ++*copy)
        names.insert(copy->GetName());
    EXPECT_EQ((std::set<String>{L"a", L"b", L"c"}), names);
    // At the end the iterator has let go of the key.
    EXPECT_FALSE(HandleIsOpen(handle));
}

TEST_F(RegistryKeyIterator, TheLastIteratorCopyClosesTheHandle)
{
    SetDword(L"", L"v", 1);
    HKEY handle = nullptr;
    std::optional<CRegistryKey::ValueIterator> copy;
    {
        const CRegistryKey key = OpenScratch();
        handle = key.GetHandle();
        const auto original = key.BeginValues();
        copy.emplace(original);
    }
    EXPECT_TRUE(HandleIsOpen(handle));
    EXPECT_STREQ(L"v", copy->GetName());
    EXPECT_EQ(L"A number", copy->GetValueText());
    copy.reset();
    EXPECT_FALSE(HandleIsOpen(handle));
}

TEST_F(RegistryKeyIterator, CopiesHaveTheirOwnBuffersAndCompareByPosition)
{
    SetRaw(L"", L"a", REG_SZ, ToBytes(L"one"));
    SetRaw(L"", L"b", REG_SZ, ToBytes(L"two"));
    SetRaw(L"", L"c", REG_SZ, ToBytes(L"three"));
    const CRegistryKey key = OpenScratch();
    auto first = key.BeginValues();
    auto second = key.EndValues();
    second = first;
    EXPECT_TRUE(first == second);
    const String name = second.GetName();
    const String text = second.GetValueText();
    ++first;
    EXPECT_TRUE(first != second);
    // The copy still shows its own item although the original moved on.
    EXPECT_EQ(name, second.GetName());
    EXPECT_EQ(text, second.GetValueText());
    ++second;
    EXPECT_TRUE(first == second);
    EXPECT_EQ(String(first.GetName()), String(second.GetName()));

    // Iterators over two handles of the same key are not equal.
    const CRegistryKey other = OpenScratch();
    EXPECT_TRUE(key.BeginValues() != other.BeginValues());
}

// ---- Failures ---------------------------------------------------------------------------------

TEST_F(RegistryKeyIterator, ConstructionOnADeletedKeyThrows)
{
    CreateKey(L"Doomed\\child");
    SetDword(L"Doomed", L"v", 1);
    const CRegistryKey key = OpenScratch().OpenSubkey(L"Doomed", KEY_READ);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CURRENT_USER, Path(L"Doomed").c_str()));
    auto error = CatchKeyException([&] { key.BeginSubkeys(); });
    EXPECT_STREQ(L"CRegistryKey::SubkeyIterator::SubkeyIterator()", error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), error.GetCode());
    error = CatchKeyException([&] { key.BeginValues(); });
    EXPECT_STREQ(L"CRegistryKey::ValueIterator::ValueIterator()", error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), error.GetCode());
}

TEST_F(RegistryKeyIterator, WalksWithoutReadAccessFailWithAccessDenied)
{
    // Windows refuses the key information already; Wine answers it and refuses the first fetch.
    SetDword(L"", L"v", 1);
    CreateKey(L"child");
    const CRegistryKey key = OpenScratch(KEY_SET_VALUE);
    auto error = CatchKeyException([&] { key.BeginSubkeys(); });
    EXPECT_TRUE(String(error.GetLocation()) == L"CRegistryKey::SubkeyIterator::SubkeyIterator()" ||
                String(error.GetLocation()) == L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()")
        << Strings::ToUtf8(error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error.GetCode());
    error = CatchKeyException([&] { key.BeginValues(); });
    EXPECT_TRUE(String(error.GetLocation()) == L"CRegistryKey::ValueIterator::ValueIterator()" ||
                String(error.GetLocation()) == L"CRegistryKey::ValueIterator::GetValueInfo()")
        << Strings::ToUtf8(error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error.GetCode());
}

TEST_F(RegistryKeyIterator, SubkeyFetchWithoutEnumerateAccessThrows)
{
    CreateKey(L"child");
    const CRegistryKey key = OpenScratch(KEY_QUERY_VALUE);
    const auto error = CatchKeyException([&] { key.BeginSubkeys(); });
    EXPECT_STREQ(L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()", error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error.GetCode());
}

TEST_F(RegistryKeyIterator, FetchFromAKeyDeletedDuringTheWalkThrows)
{
    CreateKey(L"Walked\\a");
    CreateKey(L"Walked\\b");
    SetDword(L"Walked", L"a", 1);
    SetDword(L"Walked", L"b", 2);
    const CRegistryKey key = OpenScratch().OpenSubkey(L"Walked", KEY_READ);
    auto subkeys = key.BeginSubkeys();
    auto values = key.BeginValues();
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CURRENT_USER, Path(L"Walked").c_str()));

    auto error = CatchKeyException([&] { ++subkeys; });
    EXPECT_STREQ(L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()", error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), error.GetCode());
    error = CatchKeyException([&] { ++values; });
    EXPECT_STREQ(L"CRegistryKey::ValueIterator::GetValueInfo()", error.GetLocation());
    EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), error.GetCode());
}

TEST_F(RegistryKeyIterator, AFailedConstructionLetsGoOfTheKey)
{
    HKEY handle = nullptr;
    {
        CreateKey(L"Doomed");
        const CRegistryKey key = OpenScratch().OpenSubkey(L"Doomed", KEY_READ);
        handle = key.GetHandle();
        RegDeleteTreeW(HKEY_CURRENT_USER, Path(L"Doomed").c_str());
        CatchKeyException([&] { key.BeginSubkeys(); });
        CatchKeyException([&] { key.BeginValues(); });
        EXPECT_TRUE(HandleIsOpen(handle));
    }
    EXPECT_FALSE(HandleIsOpen(handle));
    {
        const CRegistryKey key = OpenScratch(KEY_SET_VALUE);
        handle = key.GetHandle();
        CatchKeyException([&] { key.BeginValues(); });
        CatchKeyException([&] { key.BeginSubkeys(); });
        EXPECT_TRUE(HandleIsOpen(handle));
    }
    EXPECT_FALSE(HandleIsOpen(handle));
}
