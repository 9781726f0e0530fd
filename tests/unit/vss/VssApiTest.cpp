// The binding of the system's VSS library: the requestor finds the backup components entry point
// under the name of later systems or, as on Windows Server 2003, under its C++ name only, and says
// what is wrong where there is neither. The lab's vssapi.dll is built both ways
// (tests\vssapi-lab.dll, tests\vssapi-2003.dll beside the test program).

#include "vss/VssApi.h"

#include "vss/VssClientException.h"

#include "common/ScratchDirectory.h"
#include "platform/Libraries.h"

TEST(VssApi, TakesTheEntryPointOfLaterSystemsFirstAndElseTheCppName)
{
    const std::pair<const wchar_t*, const char*> libraries[] = {
        {L"vssapi-lab.dll", "CreateVssBackupComponentsInternal"},
        {L"vssapi-2003.dll", "?CreateVssBackupComponents@@YAJPEAPEAVIVssBackupComponents@@@Z"}};
    for (const auto& library : libraries)
    {
        const VssApiLibrary api(Lab::BesideTests(library.first));
        EXPECT_STREQ(library.second, api.EntryPoint());
        EXPECT_TRUE(api.Create());
    }
}

TEST(VssApi, SaysWhatIsMissing)
{
    const String kernel32 = Libraries::SystemFolder() + L"\\kernel32.dll";
    EXPECT_EQ(L"The VSS library " + kernel32 +
                  L" exports neither CreateVssBackupComponentsInternal nor "
                  L"?CreateVssBackupComponents@@YAJPEAPEAVIVssBackupComponents@@@Z: it is not a VSS library this "
                  L"requestor can use",
              MessageOf<VssClientException>([&] { VssApiLibrary api(kernel32); }));

    ScratchDirectory folder;
    const String missing = folder / L"vssapi.dll";
    const String text = MessageOf<VssClientException>([&] { VssApiLibrary api(missing); });
    const String expected = L"The VSS library " + missing + L" could not be loaded, so this system cannot make shadow "
                                                            L"copies: Error = 0x0000007E";
    EXPECT_EQ(expected, text.substr(0, expected.size()));
}

TEST(VssApi, LoadsTheSystemFoldersLibrary)
{
    // Wine's own vssapi.dll exports the later name (and does no VSS work).
    const VssApiLibrary api;
    EXPECT_EQ(Libraries::SystemFolder() + L"\\vssapi.dll", api.Path());
}
