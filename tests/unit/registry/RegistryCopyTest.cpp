#include "registry/RegistryService.h"

#include "common/ErrorText.h"
#include "registry/RegistryKey.h"

#include "ScratchKey.h"

using namespace RegistryTest;

namespace
{
    class RegistryCopy : public ScratchKey
    {
    protected:
        // A source tree with every kind of value, a long class, names at the registry's limits and
        // data larger than the copy's fixed buffers, at several depths.
        void BuildSource(const String& top)
        {
            CreateKey(top, L"TopClass");
            SetRaw(top, L"", REG_SZ, ToBytes(L"default value"));
            SetRaw(top, L"sz", REG_SZ, ToBytes(L"text"));
            SetRaw(top, L"expand", REG_EXPAND_SZ, ToBytes(L"%SystemRoot%\\system32"));
            SetRaw(top, L"multi", REG_MULTI_SZ, MultiString({L"one", L"two"}));
            SetRaw(top, L"bin", REG_BINARY, {0x0A, 0xFF, 0x00});
            SetRaw(top, L"emptybin", REG_BINARY, {});
            SetRaw(top, L"none", REG_NONE, {7});
            SetRaw(top, L"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
            SetDword(top, L"dword", 0xdeadbeef);
            SetRaw(top, L"big", REG_BINARY, Pattern(4097));
            SetRaw(top, String(16383, L'v'), REG_SZ, ToBytes(L"longest name"));
            SetRaw(top, L"unterminated", REG_SZ, ToBytes(L"abc", false));

            CreateKey(top + L"\\Child", String(300, L'c').c_str());
            SetRaw(top + L"\\Child", L"huge", REG_BINARY, Pattern(100000));
            SetRaw(top + L"\\Child", String(261, L'm'), REG_MULTI_SZ, MultiString({String(3000, L'z'), L"end"}));
            CreateKey(top + L"\\Child\\Grandchild");
            SetDword(top + L"\\Child\\Grandchild", L"depth", 2);
            CreateKey(top + L"\\" + String(255, L'k'));
            SetRaw(top + L"\\" + String(255, L'k'), L"sz", REG_SZ, ToBytes(L"under a long name"));
            CreateKey(top + L"\\Empty");
        }
    };
}

TEST_F(RegistryCopy, ReplacesTheDestinationWithAnExactCopyOfTheSource)
{
    BuildSource(L"Source");
    CreateKey(L"Destination\\Stale\\Deeper");
    SetDword(L"Destination", L"stale", 1);
    SetRaw(L"Destination", L"sz", REG_SZ, ToBytes(L"old text"));
    const RawTree source = Dump(L"Source");
    ASSERT_EQ(5u, source.size());

    RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, Path(L"Source"), HKEY_CURRENT_USER, Path(L"Destination"));

    const RawTree destination = Dump(L"Destination");
    // The top key is created by name, not with the source's class.
    RawTree expected = source;
    expected[L""].keyClass.clear();
    EXPECT_EQ(expected, destination);
    EXPECT_EQ(String(300, L'c'), destination.at(L"Child").keyClass);
    EXPECT_EQ(100000u, destination.at(L"Child").values.at(L"huge").data.size());
    // The source is left as it was.
    EXPECT_EQ(source, Dump(L"Source"));
}

TEST_F(RegistryCopy, MissingSourceDeletesTheDestinationAndReportsNothing)
{
    CreateKey(L"Destination\\A\\B");
    SetDword(L"Destination\\A", L"v", 1);
    CreateKey(L"Neighbour");
    EXPECT_NO_THROW(RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, Path(L"Missing"), HKEY_CURRENT_USER,
                                                     Path(L"Destination")));
    EXPECT_FALSE(KeyExists(L"Destination"));
    EXPECT_FALSE(KeyExists(L"Missing"));
    EXPECT_TRUE(KeyExists(L"Neighbour"));
}

TEST_F(RegistryCopy, MissingSourceAndDestinationIsNoError)
{
    EXPECT_NO_THROW(RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, Path(L"Missing"), HKEY_CURRENT_USER,
                                                     Path(L"AlsoMissing")));
    EXPECT_FALSE(KeyExists(L"AlsoMissing"));
}

TEST_F(RegistryCopy, AFailedCopyThrowsWithRootsPathsAndTheFailingCallsError)
{
    CreateKey(L"Source");
    SetDword(L"Source", L"v", 1);
    // A stored key cannot be created below a volatile one.
    CreateKey(L"Volatile", nullptr, REG_OPTION_VOLATILE);
    const String source = Path(L"Source");
    const String destination = Path(L"Volatile\\Copy");

    SetLastError(0xdeadbeef);
    try
    {
        RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, source, HKEY_CURRENT_USER, destination);
        FAIL() << "no exception";
    }
    catch (const RegistryServiceException& error)
    {
        const int root = static_cast<int>(reinterpret_cast<LONG_PTR>(HKEY_CURRENT_USER));
        EXPECT_EQ(-2147483647, root);
        EXPECT_EQ(Strings::Format(L"CopyRegistryKey(%d, %s, %d, %s) failed.\n%s", root, source.c_str(), root,
                                  destination.c_str(), ErrorText::Format(ERROR_CHILD_MUST_BE_VOLATILE).c_str()),
                  error.GetMessage());
        EXPECT_EQ(0u, error.GetDescription().find(L"RegistryServiceException ERROR: CopyRegistryKey(-2147483647, "));
    }
    EXPECT_FALSE(KeyExists(L"Volatile\\Copy"));
}

TEST_F(RegistryCopy, CopyKeyMergesIntoAnExistingDestination)
{
    CreateKey(L"Source\\Sub");
    SetDword(L"Source", L"shared", 2);
    SetDword(L"Source\\Sub", L"s", 3);
    CreateKey(L"Destination\\Other");
    SetDword(L"Destination", L"shared", 1);
    SetDword(L"Destination", L"own", 9);

    EXPECT_TRUE(RegistryService::CopyKey(HKEY_CURRENT_USER, Path(L"Source"), HKEY_CURRENT_USER, Path(L"Destination")));

    RawTree expected;
    expected[L""].values = {{L"shared", RawValue{REG_DWORD, {2, 0, 0, 0}}}, {L"own", RawValue{REG_DWORD, {9, 0, 0, 0}}}};
    expected[L"Other"];
    expected[L"Sub"].values = {{L"s", RawValue{REG_DWORD, {3, 0, 0, 0}}}};
    EXPECT_EQ(expected, Dump(L"Destination"));
}

TEST_F(RegistryCopy, CopyKeyOfAMissingSourceGivesFalseWithTheOpenError)
{
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RegistryService::CopyKey(HKEY_CURRENT_USER, Path(L"Missing"), HKEY_CURRENT_USER, Path(L"Destination")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(KeyExists(L"Destination"));
}

TEST_F(RegistryCopy, CopyValuesAndSubkeysWorkOnOpenKeys)
{
    BuildSource(L"Source");
    CreateKey(L"Destination");
    const CRegistryKey source(HKEY_CURRENT_USER, Path(L"Source"), KEY_READ);
    const CRegistryKey destination(HKEY_CURRENT_USER, Path(L"Destination"), KEY_WRITE);

    EXPECT_TRUE(RegistryService::CopyValues(source.GetHandle(), destination.GetHandle()));
    RawTree copied = Dump(L"Destination");
    ASSERT_EQ(1u, copied.size());
    EXPECT_EQ(Dump(L"Source").at(L"").values, copied.at(L"").values);

    EXPECT_TRUE(RegistryService::CopySubkeys(source.GetHandle(), destination.GetHandle()));
    RawTree expected = Dump(L"Source");
    expected[L""].keyClass.clear();
    EXPECT_EQ(expected, Dump(L"Destination"));
}

TEST_F(RegistryCopy, CopyValuesToAReadOnlyKeyGivesFalseWithTheWriteError)
{
    SetDword(L"Source", L"v", 1);
    CreateKey(L"Destination");
    const CRegistryKey source(HKEY_CURRENT_USER, Path(L"Source"), KEY_READ);
    const CRegistryKey destination(HKEY_CURRENT_USER, Path(L"Destination"), KEY_READ);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RegistryService::CopyValues(source.GetHandle(), destination.GetHandle()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    RawValue value;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRaw(L"Destination", L"v", value));
}

TEST_F(RegistryCopy, CopyValueCopiesTypeAndDataUnderTheNewName)
{
    const Bytes large = Pattern(50000);
    SetRaw(L"Source", L"large", REG_BINARY, large);
    SetRaw(L"Source", L"text", REG_EXPAND_SZ, ToBytes(L"%TEMP%"));
    SetRaw(L"Source", L"empty", REG_SZ, {});

    EXPECT_TRUE(RegistryService::CopyValue(HKEY_CURRENT_USER, Path(L"Source"), L"large", HKEY_CURRENT_USER,
                                           Path(L"New\\Key"), L"renamed"));
    EXPECT_TRUE(RegistryService::CopyValue(HKEY_CURRENT_USER, Path(L"Source"), L"text", HKEY_CURRENT_USER,
                                           Path(L"New\\Key"), L"text"));
    EXPECT_TRUE(RegistryService::CopyValue(HKEY_CURRENT_USER, Path(L"Source"), L"empty", HKEY_CURRENT_USER,
                                           Path(L"New\\Key"), L"empty"));

    RawTree expected;
    expected[L""].values = {{L"renamed", RawValue{REG_BINARY, large}},
                            {L"text", RawValue{REG_EXPAND_SZ, ToBytes(L"%TEMP%")}},
                            {L"empty", RawValue{REG_SZ, {}}}};
    EXPECT_EQ(expected, Dump(L"New\\Key"));
}

TEST_F(RegistryCopy, CopyValueOfAMissingValueGivesFalseAndWritesNoValue)
{
    SetDword(L"Source", L"present", 1);
    CreateKey(L"Destination");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RegistryService::CopyValue(HKEY_CURRENT_USER, Path(L"Source"), L"absent", HKEY_CURRENT_USER,
                                            Path(L"Destination"), L"absent"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(Dump(L"Destination").at(L"").values.empty());

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RegistryService::CopyValue(HKEY_CURRENT_USER, Path(L"Missing"), L"present", HKEY_CURRENT_USER,
                                            Path(L"Elsewhere"), L"present"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(KeyExists(L"Elsewhere"));
}
