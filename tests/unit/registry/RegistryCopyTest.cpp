// The copy of live keys into a saved hive, security and classes included. The lab's restore test
// compares the copied keys and values of a real SYSTEM hive and carries over a removed key. Wine
// grants no read access through the backup privilege, so a key that only SYSTEM may read stays
// unreadable here.

#include "registry/RegistryService.h"

#include "errors/ErrorText.h"

#include "ScratchKey.h"

using namespace RegistryTest;

namespace
{
    class RegistryCopy : public ScratchKey
    {
    protected:
        void SetUp() override
        {
            if (!EnableHivePrivileges())
                GTEST_SKIP() << "the backup and restore privileges cannot be enabled";
            ScratchKey::SetUp();
        }

        void TearDown() override
        {
            // Back to the administrators, so that the scratch keys can be deleted.
            SetSecurity(L"Source", L"O:BAG:BAD:(A;;KA;;;BA)");
            ScratchKey::TearDown();
        }

        // The owner may always change the access list; a key that is gone needs none.
        void SetSecurity(const String& key, const wchar_t* sddl) const
        {
            UniqueRegKey opened;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, Path(key).c_str(), 0, WRITE_DAC | WRITE_OWNER, opened.put()) != ERROR_SUCCESS)
                return;
            EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(opened.get(), FileSecurity::Parts, FileSecurity::FromSddl(sddl).get()));
        }

        // Owner, group and access list as SDDL; empty when unreadable.
        String Describe(const String& key) const
        {
            UniqueRegKey opened;
            std::vector<BYTE> descriptor(4096);
            DWORD size = static_cast<DWORD>(descriptor.size());
            if (RegOpenKeyExW(HKEY_CURRENT_USER, Path(key).c_str(), 0, READ_CONTROL, opened.put()) != ERROR_SUCCESS ||
                RegGetKeySecurity(opened.get(), FileSecurity::Parts, descriptor.data(), &size) != ERROR_SUCCESS)
                return String();
            return FileSecurity::ToSddl(descriptor.data());
        }
    };
}

TEST_F(RegistryCopy, ReplacesTheDestinationWithAnExactCopyOfTheSourceAndItsSecurity)
{
    // Values of several kinds, classes, at several depths; names, classes and data past the
    // enumerators' first buffers, and items after them.
    CreateKey(L"Source", L"TopClass");
    SetRaw(L"Source", L"", REG_SZ, ToBytes(L"default value"));
    SetRaw(L"Source", String(2000, L'v'), REG_BINARY, Pattern(100000));
    SetRaw(L"Source", L"multi", REG_MULTI_SZ, ToBytes(String(L"one\0two\0", 8)));
    SetRaw(L"Source", L"emptybin", REG_BINARY, {});
    SetRaw(L"Source", L"unterminated", REG_SZ, ToBytes(L"abc", false));
    CreateKey(L"Source\\Child", String(3000, L'c').c_str());
    SetRaw(L"Source\\Child", L"blob", REG_BINARY, Pattern(5000));
    SetRaw(L"Source\\Child\\Grandchild", L"depth", REG_DWORD, DwordBytes(2));
    SetRaw(L"Source\\" + String(255, L'k'), L"after", REG_DWORD, DwordBytes(1));
    CreateKey(L"Source\\Empty");
    // Several siblings at each level: every deletion shifts the enumeration under the walk.
    for (const wchar_t* stale : {L"A\\A1\\A11", L"A\\A2", L"B", L"C\\C1", L"C\\C2\\C21", L"C\\C3"})
        CreateKey(String(L"Destination\\Stale\\") + stale);
    SetRaw(L"Destination", L"stale", REG_DWORD, DwordBytes(1));
    SetRaw(L"Destination", L"", REG_SZ, ToBytes(L"old default"));
    const RawTree source = Dump(L"Source");
    ASSERT_EQ(String(3000, L'c'), source.at(L"Child").keyClass);
    SetSecurity(L"Source", L"O:SYG:SYD:P(A;;KA;;;BA)(A;;KR;;;SY)");
    SetSecurity(L"Source\\Child", L"O:BAG:SYD:P(A;;KA;;;BA)(A;CI;KR;;;BU)(A;;KA;;;SY)");
    const String top = Describe(L"Source");
    const String child = Describe(L"Source\\Child");
    ASSERT_FALSE(top.empty());
    ASSERT_NE(top, child);

    RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, Path(L"Source"), HKEY_CURRENT_USER, Path(L"Destination"));

    // The top key is created by name, without the source's class.
    RawTree expected = source;
    expected[L""].keyClass.clear();
    EXPECT_EQ(expected, Dump(L"Destination"));
    EXPECT_EQ(source, Dump(L"Source"));
    EXPECT_EQ(top, Describe(L"Destination"));
    EXPECT_EQ(child, Describe(L"Destination\\Child"));
}

TEST_F(RegistryCopy, ASourceThatCannotBeReadFailsTheCopyAndLeavesTheDestination)
{
    SetRaw(L"Source", L"v", REG_DWORD, DwordBytes(1));
    SetRaw(L"Destination", L"saved", REG_DWORD, DwordBytes(7));
    // Only SYSTEM may read it, as some keys of a live SYSTEM hive.
    SetSecurity(L"Source", L"O:BAG:SYD:P(A;;KA;;;SY)");
    const RawTree destination = Dump(L"Destination");

    const String message = MessageOf<RegistryServiceException>([&] {
        RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, Path(L"Source"), HKEY_CURRENT_USER, Path(L"Destination"));
    });
    EXPECT_EQ(L"CopyRegistryKey(-2147483647, " + Path(L"Source") + L", -2147483647, " + Path(L"Destination") +
                  L") failed.\n" + ErrorText::Format(ERROR_ACCESS_DENIED),
              message);
    EXPECT_EQ(destination, Dump(L"Destination"));
}
