// The security of keys that the restore carries from the live system into a saved hive: each
// copied key keeps its owner, group and access list, and a key that cannot be read fails the
// copy instead of passing for missing.
//
// Wine grants no read access through the backup privilege, so a key that only SYSTEM may read
// stays unreadable here; what shows is that the copy then fails and leaves the destination alone.

#include "registry/RegistryService.h"

#include "common/ErrorText.h"
#include "common/Handles.h"
#include "common/ScratchDirectory.h"

#include "ScratchKey.h"

#include <sddl.h>

using namespace RegistryTest;

namespace
{
    const SECURITY_INFORMATION Carried =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

    class RegistryCopySecurity : public ScratchKey
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
            // Give the scratch keys back to the administrators, so that they can be deleted.
            for (const wchar_t* key : {L"Source", L"Source\\Child"})
                SetSecurity(key, L"O:BAG:BAD:(A;;KA;;;BA)");
            ScratchKey::TearDown();
        }

        void SetSecurity(const String& key, const wchar_t* sddl) const
        {
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
            const UniqueLocalMemory owner(descriptor);
            UniqueRegKey opened;
            // The owner may always change the access list; a key that is gone needs none.
            if (RegOpenKeyExW(HKEY_CURRENT_USER, Path(key).c_str(), 0, WRITE_DAC | WRITE_OWNER, opened.put()) != ERROR_SUCCESS)
                return;
            ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(opened.get(), Carried, descriptor));
        }

        // Owner, group and access list in the platform's text form; empty when unreadable.
        String Describe(const String& key) const
        {
            UniqueRegKey opened;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, Path(key).c_str(), 0, READ_CONTROL, opened.put()) != ERROR_SUCCESS)
                return String();
            std::vector<BYTE> descriptor(4096);
            DWORD size = static_cast<DWORD>(descriptor.size());
            if (RegGetKeySecurity(opened.get(), Carried, descriptor.data(), &size) != ERROR_SUCCESS)
                return String();
            wchar_t* text = nullptr;
            if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1, Carried, &text,
                                                                      nullptr))
                return String();
            const UniqueLocalMemory owner(text);
            return text;
        }
    };
}

TEST_F(RegistryCopySecurity, EveryCopiedKeyKeepsItsOwnerGroupAndAccessList)
{
    SetDword(L"Source", L"v", 1);
    SetDword(L"Source\\Child", L"w", 2);
    CreateKey(L"Destination");
    SetSecurity(L"Source", L"O:SYG:SYD:P(A;;KA;;;BA)(A;;KR;;;SY)");
    SetSecurity(L"Source\\Child", L"O:BAG:SYD:P(A;;KA;;;BA)(A;CI;KR;;;BU)(A;;KA;;;SY)");
    const String top = Describe(L"Source");
    const String child = Describe(L"Source\\Child");
    ASSERT_FALSE(top.empty());
    ASSERT_NE(top, child);
    const RawTree content = Dump(L"Source");

    RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, Path(L"Source"), HKEY_CURRENT_USER, Path(L"Destination"));

    EXPECT_EQ(top, Describe(L"Destination"));
    EXPECT_EQ(child, Describe(L"Destination\\Child"));
    EXPECT_EQ(content, Dump(L"Destination"));
}

TEST_F(RegistryCopySecurity, ASourceThatCannotBeReadFailsTheCopyAndLeavesTheDestination)
{
    SetDword(L"Source", L"v", 1);
    SetDword(L"Destination", L"saved", 7);
    // Only SYSTEM may read it, as some keys of a live SYSTEM hive.
    SetSecurity(L"Source", L"O:BAG:SYD:P(A;;KA;;;SY)");
    const RawTree destination = Dump(L"Destination");

    const String source = Path(L"Source");
    const String head = L"CopyRegistryKey(-2147483647, " + source + L", -2147483647, " + Path(L"Destination") +
                        L") failed.\n";
    const String message = MessageOf<RegistryServiceException>([&] {
        RegistryService::CopyRegistryKey(HKEY_CURRENT_USER, source, HKEY_CURRENT_USER, Path(L"Destination"));
    });
    EXPECT_EQ(head + ErrorText::Format(ERROR_ACCESS_DENIED), message);
    EXPECT_EQ(destination, Dump(L"Destination"));
}
