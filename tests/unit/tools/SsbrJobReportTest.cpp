// What ssbr reports of a backup or restore beyond the module's answer: the renames waiting for
// the next start, the component a failed backup stopped in, and a backup of another server.

#include "JobReport.h"

#include <gtest/gtest.h>

namespace
{
    std::vector<wchar_t> MultiString(std::initializer_list<const wchar_t*> strings)
    {
        std::vector<wchar_t> data;
        for (const wchar_t* text : strings)
        {
            data.insert(data.end(), text, text + wcslen(text));
            data.push_back(L'\0');
        }
        data.push_back(L'\0');
        return data;
    }

    String OptionNamedIn(const wchar_t* text)
    {
        const Component* component = JobReport::ComponentNamedIn(text);
        return component != nullptr ? String(component->option) : String(L"(none)");
    }
}

TEST(SsbrJobReport, PendingRenamesPairSourcesWithTargetsAndDeletionsWithNone)
{
    // As the boot files' restore leaves them: a replacement, then its staging folder deleted; a
    // deletion last of all ends in the empty target and the list's own end.
    const auto renames = JobReport::ParsePendingRenames(MultiString({
        L"\\??\\C:\\SystemStateRestore\\C\\NtLdr", L"!\\??\\C:\\NtLdr",
        L"\\??\\C:\\SystemStateRestore\\C", L"",
        L"\\??\\C:\\SystemStateRestore", L"",
    }));
    ASSERT_EQ(3u, renames.size());
    EXPECT_EQ(L"C:\\SystemStateRestore\\C\\NtLdr", renames[0].from);
    EXPECT_EQ(L"C:\\NtLdr", renames[0].to);
    EXPECT_EQ(L"C:\\SystemStateRestore\\C", renames[1].from);
    EXPECT_EQ(L"", renames[1].to);
    EXPECT_EQ(L"C:\\SystemStateRestore", renames[2].from);
    EXPECT_EQ(L"", renames[2].to);
    EXPECT_TRUE(JobReport::ParsePendingRenames({}).empty());
    EXPECT_TRUE(JobReport::ParsePendingRenames(MultiString({})).empty());
}

TEST(SsbrJobReport, AFailedBackupIsTheComponentWhoseExceptionWasThrown)
{
    const wchar_t* const header = L"An exception occurred in Backup:\n";
    // The thrown class comes first; what it wraps or names later does not count.
    EXPECT_EQ(L"--certificate-services",
              OptionNamedIn((String(header) + L"CertificateServicesException ERROR: RegistryServiceException ERROR: "
                                              L"x\nUnspecified error")
                                .c_str()));
    EXPECT_EQ(L"--boot-files",
              OptionNamedIn((String(header) + L"CoreBootSystemFilesException ERROR: Registry::GetString(2, "
                                              L"System\\Setup, SystemPartition) failed")
                                .c_str()));
    EXPECT_EQ(L"--registry",
              OptionNamedIn((String(header) + L"RegistryBackupSetException ERROR: No registry backup in C:\\b").c_str()));
    EXPECT_EQ(L"--sysvol", OptionNamedIn(L"SystemVolumeBackupSetException ERROR: CRegistryKey::Exception thrown"));
    EXPECT_EQ(L"--complus", OptionNamedIn(L"COMDatabaseException ERROR: No COM+ database backup in C:\\b"));
    EXPECT_EQ(L"--cluster", OptionNamedIn(L"ClusterDatabaseException ERROR: OpenCluster() failed"));
    EXPECT_EQ(L"--active-directory", OptionNamedIn(L"ActiveDirectoryException ERROR: DsBackupPrepare failed"));
    // Exceptions that several components throw name none of them.
    EXPECT_EQ(L"(none)", OptionNamedIn(L"FileSystemException ERROR: Refused the staging folder C:\\SystemStateRestore"));
    EXPECT_EQ(L"(none)", OptionNamedIn(L"ServiceException ERROR: Could not stop service: CertSvc"));
}

TEST(SsbrJobReport, ABackupOfAnotherServerIsNamedUnlessTheNamesMatch)
{
    EXPECT_EQ(L"This backup was taken on OLDSRV; this server is VM", JobReport::OtherServerText(L"OLDSRV", L"VM"));
    EXPECT_EQ(L"", JobReport::OtherServerText(L"vm", L"VM"));
    // A backup that does not say where it was taken is not refused for it.
    EXPECT_EQ(L"", JobReport::OtherServerText(L"", L"VM"));
}
