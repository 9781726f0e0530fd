// The key class's shared handles and failures, and the value reads of the restore. Items larger
// than the readers' first buffers are in the registry copy's test.

#include "registry/RegistryKey.h"
#include "registry/RegistryService.h"

#include "ScratchKey.h"

#include <optional>
#include <set>

using namespace RegistryTest;

namespace
{
    class RegistryKey : public ScratchKey
    {
    protected:
        CRegistryKey Scratch(REGSAM access = KEY_READ) const { return CRegistryKey(HKEY_CURRENT_USER, Path(), access); }
    };

    // A query on a closed handle fails with ERROR_INVALID_HANDLE.
    bool HandleIsOpen(HKEY key)
    {
        DWORD subkeys = 0;
        return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr) != ERROR_INVALID_HANDLE;
    }
}

TEST_F(RegistryKey, CopiesOfKeysAndIteratorsShareOneHandleThatClosesWithTheLastOwner)
{
    for (const wchar_t* name : {L"a", L"b", L"c"})
        CreateKey(name);
    HKEY handle = nullptr;
    std::optional<CRegistryKey::SubkeyIterator> iterator;
    {
        CRegistryKey first = Scratch();
        handle = first.GetHandle();
        CRegistryKey other = Scratch();
        other = CRegistryKey(first);
        other = other;
        EXPECT_EQ(handle, other.GetHandle());
        auto original = other.BeginSubkeys();
        iterator.emplace(original);
        ++original;
        first = Scratch();
        // Iterators over two handles of one key are not equal.
        EXPECT_TRUE(first.BeginSubkeys() != other.BeginSubkeys());
    }
    EXPECT_TRUE(HandleIsOpen(handle));
    std::set<String> names;
    for (; *iterator != CRegistryKey::SubkeyIterator(nullptr); ++*iterator)
        names.insert(iterator->GetName());
    EXPECT_EQ((std::set<String>{L"a", L"b", L"c"}), names);
    EXPECT_FALSE(HandleIsOpen(handle)) << "the iterator kept the last reference at its end";
}

// A walk that fails must not end as if it reached the last item.
TEST_F(RegistryKey, IteratorFailuresThrowWithTheirPlaceAndReleaseTheKey)
{
    CreateKey(L"Doomed\\child");
    SetRaw(L"Doomed", L"v", REG_DWORD, DwordBytes(1));
    HKEY handle = nullptr;
    {
        const CRegistryKey key = Scratch().OpenSubkey(L"Doomed", KEY_READ);
        handle = key.GetHandle();
        auto subkeys = key.BeginSubkeys();
        auto values = key.BeginValues();
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CURRENT_USER, Path(L"Doomed").c_str()));
        ExpectKeyFailure(L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()", ERROR_KEY_DELETED, [&] { ++subkeys; });
        ExpectKeyFailure(L"CRegistryKey::ValueIterator::GetValueInfo()", ERROR_KEY_DELETED, [&] { ++values; });
        ExpectKeyFailure(L"CRegistryKey::ValueIterator::ValueIterator()", ERROR_KEY_DELETED, [&] { key.BeginValues(); });
    }
    EXPECT_FALSE(HandleIsOpen(handle)) << "a failed iterator kept its key";
}

// The restore reads the selected control set's number and writes an empty text; a failed write
// must not pass for done.
TEST_F(RegistryKey, NumbersReadAsFourByteDwordsOfEitherOrderAndTextsAreWrittenWithTheirNull)
{
    SetRaw(L"", L"little", REG_DWORD, DwordBytes(0x01020304));
    SetRaw(L"", L"big", REG_DWORD_BIG_ENDIAN, DwordBytes(0x0A0B0C0D));
    SetRaw(L"", L"text", REG_SZ, ToBytes(L"2"));
    SetRaw(L"", L"short", REG_DWORD, {1, 2});
    const CRegistryKey key = Scratch();
    DWORD little = 0, big = 0, number = 0xdeadbeef;
    EXPECT_TRUE(key.QueryValue(L"little", little) && key.QueryValue(L"big", big));
    EXPECT_EQ(0x01020304u, little);
    EXPECT_EQ(0x0A0B0C0Du, big);
    EXPECT_FALSE(key.QueryValue(L"text", number));
    ExpectKeyFailure(L"CRegistryKey::QueryValue()", ERROR_FILE_NOT_FOUND, [&] { key.QueryValue(L"missing", number); });
    ExpectKeyFailure(L"CRegistryKey::QueryValue()", 0, [&] { key.QueryValue(L"short", number); });
    EXPECT_EQ(0xdeadbeefu, number);

    ExpectKeyFailure(L"CRegistryKey::SetValue()", ERROR_ACCESS_DENIED, [&] { Scratch().SetValue(L"empty", L"", REG_SZ); });
    Scratch(KEY_ALL_ACCESS).SetValue(L"empty", L"", REG_SZ);
    EXPECT_EQ((RawValue{REG_SZ, {0, 0}}), Dump(L"").at(L"").values.at(L"empty"));
}

using RegistryFunctions = ScratchKey;

TEST_F(RegistryFunctions, GetMultiStringReadsEveryStringOrReportsFunctionFailedLeavingTheListAlone)
{
    StringList many;
    String raw;
    for (int i = 0; i < 300; ++i)
        raw += many.emplace_back(Strings::Format(L"Path\\Number %d\\", i)) + L'\0';
    SetRaw(L"", L"many", REG_MULTI_SZ, ToBytes(raw));
    // Without the list's final empty string, and without the last string's own null.
    SetRaw(L"", L"unterminated", REG_MULTI_SZ, ToBytes(String(L"one\0two", 7), false));
    SetRaw(L"", L"emptylist", REG_MULTI_SZ, {0, 0});
    SetRaw(L"", L"stopsatempty", REG_MULTI_SZ, ToBytes(String(L"a\0\0b\0", 5)));
    const std::map<String, StringList> lists = {
        {L"many", many}, {L"unterminated", {L"one", L"two"}}, {L"stopsatempty", {L"a"}}, {L"emptylist", {}}};
    for (const auto& item : lists)
    {
        StringList list = {L"sentinel"};
        EXPECT_EQ(ERROR_SUCCESS, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), item.first, list));
        EXPECT_EQ(item.second, list) << Strings::ToUtf8(item.first);
    }
    StringList list = {L"sentinel"};
    EXPECT_EQ(ERROR_FUNCTION_FAILED, Registry::GetMultiString(HKEY_CURRENT_USER, Path(L"Missing"), L"many", list));
    EXPECT_EQ(ERROR_FUNCTION_FAILED, Registry::GetMultiString(HKEY_CURRENT_USER, Path(), L"missing", list));
    EXPECT_EQ(StringList{L"sentinel"}, list);
}

// The lab's restore reads DWORD start values; here the other types and the search order.
TEST_F(RegistryFunctions, FindStartReadsTheFirstStartValueOfTheTreeDepthFirstAsANumber)
{
    // Each key: its values, then what FindStart answers (no answer: 0x5eed, the sentinel).
    const struct { const wchar_t* key; const wchar_t* name; DWORD type; Bytes data; int expected; } cases[] = {
        {L"Svc", L"START", REG_DWORD, DwordBytes(3), 3}, // any case of the name
        {L"Negative", L"Start", REG_DWORD, DwordBytes(0xFFFFFFFF), -1},
        // Any other type reads as the number its text begins with, which may lack its null.
        {L"Unterminated", L"Start", REG_SZ, ToBytes(L"12", false), 12},
        {L"Odd", L"Start", REG_SZ, {'3', 0, '9'}, 3}, // text ends before an odd byte
        // Names that only look alike are no start value.
        {L"Counters\\Performance", L"Started", REG_DWORD, DwordBytes(1), 0x5eed},
        {L"Counters\\Performance\\Linkage", L"starts", REG_SZ, ToBytes(L"1"), 0x5eed},
        // A's subtree is searched completely before B: A\Deep\Deeper wins.
        {L"Driver\\A\\Deep\\Deeper", L"Start", REG_DWORD, DwordBytes(4), 4},
        {L"Driver\\B", L"Start", REG_DWORD, DwordBytes(1), 1},
    };
    for (const auto& item : cases)
        SetRaw(item.key, item.name, item.type, item.data);
    SetRaw(L"Svc\\Parameters", L"Start", REG_DWORD, DwordBytes(1));
    CreateKey(L"Driver\\A\\Empty");
    for (const auto& item : cases)
    {
        int start = 0x5eed;
        EXPECT_EQ(item.expected != 0x5eed, RegistryService::FindStart(HKEY_CURRENT_USER, Path(item.key), start))
            << Strings::ToUtf8(item.key);
        EXPECT_EQ(item.expected, start) << Strings::ToUtf8(item.key);
    }
    int start = 0;
    EXPECT_TRUE(RegistryService::FindStart(HKEY_CURRENT_USER, Path(L"Driver"), start));
    EXPECT_EQ(4, start);
    ExpectKeyFailure(L"CRegistryKey::CRegistryKey(HKEY hKey ...)", ERROR_FILE_NOT_FOUND,
                     [&] { RegistryService::FindStart(HKEY_CURRENT_USER, Path(L"Missing"), start); });
}
