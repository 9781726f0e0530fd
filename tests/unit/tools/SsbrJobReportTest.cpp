// What ssbr reports of a backup or restore beyond the module's answer: the component a failed
// backup stopped in, and a backup of another server. The renames waiting for the next start are
// read back from a real restore in tests/lab/rebuilt.sh.

#include "JobReport.h"

#include "errors/Exceptions.h"

#include <gtest/gtest.h>

#include <utility>

TEST(SsbrJobReport, AFailedBackupIsTheComponentWhoseExceptionWasThrown)
{
    // The module's text: its call, then the description of what was thrown.
    const auto text = [](const TarnException::Exception& error) {
        return L"An exception occurred in Backup:\n" + error.GetDescription() + L"\nUnspecified error";
    };
    const std::pair<String, const wchar_t*> cases[] = {
        {text(CoreBootSystemFilesException(L"x")), L"--boot-files"},
        {text(ActiveDirectoryException(L"x")), L"--active-directory"}, {text(SystemVolumeException(L"x")), L"--sysvol"},
        {text(CertificateServicesException(L"x")), L"--certificate-services"},
        {text(ClusterDatabaseException(L"x")), L"--cluster"}, {text(RegistryServiceException(L"x")), L"--registry"},
        {text(COMDatabaseException(L"x")), L"--complus"},
        // A manifest's exceptions are its component's.
        {text(SystemVolumeBackupSetException(L"x")), L"--sysvol"}, {text(RegistryBackupSetException(L"x")), L"--registry"},
        // The thrown class comes first; what it wraps or names later does not count.
        {text(CertificateServicesException(RegistryServiceException(L"x").GetDescription())), L"--certificate-services"},
        // Exceptions that several components throw name none of them.
        {text(FileSystemException(L"Refused the staging folder C:\\SystemStateRestore")), L"(none)"},
        {text(ServiceException(L"Could not stop service: CertSvc")), L"(none)"},
    };
    for (const auto& each : cases)
    {
        const Component* named = JobReport::ComponentNamedIn(each.first);
        EXPECT_EQ(each.second, named != nullptr ? String(named->option) : String(L"(none)")) << Strings::ToUtf8(each.first);
    }
}

TEST(SsbrJobReport, ABackupOfAnotherServerIsNamedUnlessTheNamesMatch)
{
    EXPECT_EQ(L"This backup was taken on OLDSRV; this server is VM", JobReport::OtherServerText(L"OLDSRV", L"VM"));
    EXPECT_EQ(L"", JobReport::OtherServerText(L"vm", L"VM"));
    // A backup that does not say where it was taken is not refused for it.
    EXPECT_EQ(L"", JobReport::OtherServerText(L"", L"VM"));
}
