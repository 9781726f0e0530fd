#include "registry/Enumerator.h"

#include "ScratchKey.h"

#include <map>

using namespace RegistryTest;
using RegistryBuffers::SubkeyEnumerator;
using RegistryBuffers::ValueEnumerator;

using RegistryEnumerator = ScratchKey;

// Names, classes and data past the enumerator's first buffers come back whole, items after a large
// one still read, and an empty key ends at once.
TEST_F(RegistryEnumerator, ReadsItemsLargerThanItsBuffersWholeAndEndsAnEmptyKeyAtOnce)
{
    const String longName(255, L'k');
    const String longClass(3000, L'c');
    const String longValueName(2000, L'v');
    const Bytes bigData = Pattern(100000);
    CreateKey(L"Full\\" + longName);
    CreateKey(L"Full\\classed", longClass.c_str());
    CreateKey(L"Full\\plain");
    SetRaw(L"Full", longValueName, REG_BINARY, bigData);
    SetRaw(L"Full", L"small", REG_SZ, ToBytes(L"after"));
    CreateKey(L"Empty");

    UniqueRegKey full;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, Path(L"Full").c_str(), 0, KEY_READ, full.put()));

    std::map<String, String> classes;
    SubkeyEnumerator subkeys;
    DWORD index = 0;
    for (LONG status; (status = subkeys.Read(full.get(), index)) != ERROR_NO_MORE_ITEMS; ++index)
    {
        ASSERT_EQ(ERROR_SUCCESS, status) << "subkey " << index;
        classes[subkeys.Name()] = subkeys.Class();
    }
    EXPECT_EQ((std::map<String, String>{{longName, L""}, {L"classed", longClass}, {L"plain", L""}}), classes);

    std::map<String, RawValue> values;
    ValueEnumerator reader;
    index = 0;
    for (LONG status; (status = reader.Read(full.get(), index)) != ERROR_NO_MORE_ITEMS; ++index)
    {
        ASSERT_EQ(ERROR_SUCCESS, status) << "value " << index;
        values[reader.Name()] = RawValue{reader.Type(), Bytes(reader.Data(), reader.Data() + reader.DataSize())};
    }
    EXPECT_EQ((std::map<String, RawValue>{{longValueName, RawValue{REG_BINARY, bigData}},
                                          {L"small", RawValue{REG_SZ, ToBytes(L"after")}}}),
              values);

    UniqueRegKey empty;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, Path(L"Empty").c_str(), 0, KEY_READ, empty.put()));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, SubkeyEnumerator().Read(empty.get(), 0));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, ValueEnumerator().Read(empty.get(), 0));
}
