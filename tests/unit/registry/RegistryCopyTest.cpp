#include "registry/RegistryService.h"

#include "common/ErrorText.h"
#include "common/Handles.h"

#include "ScratchKey.h"

using namespace RegistryTest;

namespace
{
    class RegistryCopy : public ScratchKey
    {
    protected:
        // Every kind of value, a long class, names at the registry's limits and data larger than
        // the copy's fixed buffers, at several depths.
        void BuildSource(const String& top)
        {
            CreateKey(top, L"TopClass");
            SetRaw(top, L"", REG_SZ, ToBytes(L"default value"));
            SetRaw(top, L"expand", REG_EXPAND_SZ, ToBytes(L"%SystemRoot%\\system32"));
            SetRaw(top, L"multi", REG_MULTI_SZ, ToBytes(String(L"one\0two\0", 8)));
            SetRaw(top, L"bin", REG_BINARY, {0x0A, 0xFF, 0x00});
            SetRaw(top, L"emptybin", REG_BINARY, {});
            SetRaw(top, L"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
            SetDword(top, L"dword", 0xdeadbeef);
            SetRaw(top, L"big", REG_BINARY, Pattern(4097));
            SetRaw(top, String(16383, L'v'), REG_SZ, ToBytes(L"longest name"));
            SetRaw(top, L"unterminated", REG_SZ, ToBytes(L"abc", false));
            CreateKey(top + L"\\Child", String(300, L'c').c_str());
            SetRaw(top + L"\\Child", L"huge", REG_BINARY, Pattern(100000));
            SetRaw(top + L"\\Child", String(261, L'm'), REG_SZ, ToBytes(String(3000, L'z')));
            SetDword(top + L"\\Child\\Grandchild", L"depth", 2);
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
    SetRaw(L"Destination", L"", REG_SZ, ToBytes(L"old default"));
    const RawTree source = Dump(L"Source");
    ASSERT_EQ(5u, source.size());
    ASSERT_EQ(String(300, L'c'), source.at(L"Child").keyClass);

    RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, Path(L"Source"), HKEY_CURRENT_USER, Path(L"Destination"));

    // The top key is created by name, without the source's class.
    RawTree expected = source;
    expected[L""].keyClass.clear();
    EXPECT_EQ(expected, Dump(L"Destination"));
    EXPECT_EQ(source, Dump(L"Source"));
}

// A removed key (a missing source) is carried over by the lab's restore test.
TEST_F(RegistryCopy, AFailedCopyThrowsWithRootsPathsAndTheFailingCallsError)
{
    SetDword(L"Source", L"v", 1);
    // A stored key cannot be created below a volatile one.
    CreateKey(L"Volatile", nullptr, REG_OPTION_VOLATILE);
    const String source = Path(L"Source");
    const String destination = Path(L"Volatile\\Copy");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(L"CopyRegistryKey(-2147483647, " + source + L", -2147483647, " + destination + L") failed.\n" +
                  ErrorText::Format(ERROR_CHILD_MUST_BE_VOLATILE),
              MessageOf<RegistryServiceException>([&] {
                  RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, source, HKEY_CURRENT_USER, destination);
              }));
    EXPECT_FALSE(KeyExists(L"Volatile\\Copy"));
}
