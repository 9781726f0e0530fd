// The component table as the object runs it: the system's rows, with their entries replaced by
// recording fakes, run against a machine whose answers the test chooses.

#include "module/Components.h"

#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace
{
    // What the fakes and the platform saw, in order.
    std::vector<String> g_log;
    std::vector<Component> g_rows;
    String g_failingEntry;   // "backup registry": that fake throws

    void Record(size_t row, const wchar_t* run, const ComponentJob& job)
    {
        const String entry = String(run) + L" " + g_rows[row].name;
        g_log.push_back(entry + L" in " + job.directory);
        if (entry == g_failingEntry)
            throw RegistryServiceException(L"fake failure");
    }

    template <size_t Row>
    void FakeBackup(const ComponentJob& job)
    {
        Record(Row, L"backup", job);
    }

    template <size_t Row>
    void FakeRestore(const ComponentJob& job)
    {
        Record(Row, L"restore", job);
    }

    template <size_t... Rows>
    void ReplaceEntries(std::index_sequence<Rows...>)
    {
        const std::pair<void (*)(const ComponentJob&), void (*)(const ComponentJob&)> fakes[] = {
            {&FakeBackup<Rows>, &FakeRestore<Rows>}...};
        for (size_t row = 0; row < g_rows.size(); ++row)
        {
            g_rows[row].backup = fakes[row].first;
            g_rows[row].restore = fakes[row].second;
        }
    }

    class FakePlatform final : public ComponentPlatform
    {
    public:
        bool domainController = true;
        bool clusterNode = true;
        bool certificateServices = true;
        bool restoreMode = true;
        bool restoreModeReadable = true;

        bool IsDomainController() override { return Answer(L"domain controller?", domainController); }
        bool IsClusterNode() override { return Answer(L"cluster node?", clusterNode); }
        bool IsCertificateServicesInstalled(const String& server) override
        {
            return Answer(L"CertSvc on " + server + L"?", certificateServices);
        }
        bool QueryRestoreMode(bool& mode) override
        {
            g_log.push_back(L"restore mode?");
            if (restoreModeReadable)
                mode = restoreMode;
            return restoreModeReadable;
        }

    private:
        static bool Answer(const String& question, bool answer)
        {
            g_log.push_back(question);
            return answer;
        }
    };

    class ComponentTable : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            const ComponentList system = Components::All();
            g_rows.assign(system.begin(), system.end());
            ASSERT_EQ(7u, g_rows.size());
            ReplaceEntries(std::make_index_sequence<7>());
            g_log.clear();
            g_failingEntry.clear();
            job.directory = scratch / L"target";
            job.server = L"SRV1";
        }

        ComponentList Rows() const { return {g_rows.data(), g_rows.size()}; }

        void EnableAll()
        {
            for (const Component& row : g_rows)
                options.*row.flag = VARIANT_TRUE;
        }

        // The log without the platform's questions.
        static std::vector<String> Runs()
        {
            std::vector<String> runs;
            for (const String& line : g_log)
                if (line.back() != L'?')
                    runs.push_back(line);
            return runs;
        }

        std::vector<String> Expected(const wchar_t* run, std::vector<const wchar_t*> names) const
        {
            std::vector<String> lines;
            for (const wchar_t* name : names)
                lines.push_back(String(run) + L" " + name + L" in " + job.directory);
            return lines;
        }

        ScratchDirectory scratch;
        ComponentJob job;
        _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS options = {};
        FakePlatform platform;
    };
}

TEST_F(ComponentTable, BackupRunsEveryComponentInBackupOrder)
{
    EnableAll();
    EXPECT_EQ(L"", Components::Backup(Rows(), options, job, platform));
    EXPECT_EQ(Expected(L"backup", {L"boot files", L"Active Directory", L"SysVol", L"Certificate Services",
                                   L"cluster database", L"registry", L"COM+ database"}),
              Runs());
    EXPECT_TRUE(IsDirectoryOnDisk(job.directory));
}

TEST_F(ComponentTable, RestoreRunsTheRegistryLastAndAsksRestoreModeOnceAfterBootFilesAndComPlus)
{
    EnableAll();
    EXPECT_EQ(L"", Components::Restore(Rows(), options, job, platform));
    EXPECT_EQ(Expected(L"restore", {L"boot files", L"COM+ database", L"SysVol", L"Certificate Services",
                                    L"cluster database", L"Active Directory", L"registry"}),
              Runs());
    const std::vector<String> head(g_log.begin(), g_log.begin() + 3);
    EXPECT_EQ((std::vector<String>{Expected(L"restore", {L"boot files"})[0], Expected(L"restore", {L"COM+ database"})[0],
                                   L"restore mode?"}),
              head);
    EXPECT_EQ(1, std::count(g_log.begin(), g_log.end(), L"restore mode?"));
    // The target is the caller's business on restore.
    EXPECT_FALSE(Paths::Exists(job.directory));
}

TEST_F(ComponentTable, EachGateSkipsExactlyItsComponents)
{
    struct Case
    {
        const char* what;
        bool FakePlatform::*answer;
        std::vector<const wchar_t*> backups;
        std::vector<const wchar_t*> restores;
    };
    const Case cases[] = {
        {"not a domain controller", &FakePlatform::domainController,
         {L"boot files", L"Certificate Services", L"cluster database", L"registry", L"COM+ database"},
         {L"boot files", L"COM+ database", L"SysVol", L"Certificate Services", L"cluster database", L"Active Directory",
          L"registry"}},
        {"not in restore mode", &FakePlatform::restoreMode,
         {L"boot files", L"Active Directory", L"SysVol", L"Certificate Services", L"cluster database", L"registry",
          L"COM+ database"},
         {L"boot files", L"COM+ database", L"Certificate Services", L"cluster database", L"registry"}},
        {"not a cluster node", &FakePlatform::clusterNode,
         {L"boot files", L"Active Directory", L"SysVol", L"Certificate Services", L"registry", L"COM+ database"},
         {L"boot files", L"COM+ database", L"SysVol", L"Certificate Services", L"Active Directory", L"registry"}},
        {"no CertSvc", &FakePlatform::certificateServices,
         {L"boot files", L"Active Directory", L"SysVol", L"cluster database", L"registry", L"COM+ database"},
         {L"boot files", L"COM+ database", L"SysVol", L"cluster database", L"Active Directory", L"registry"}},
    };
    EnableAll();
    for (const Case& testCase : cases)
    {
        FakePlatform machine;
        machine.*testCase.answer = false;
        g_log.clear();
        EXPECT_EQ(L"", Components::Backup(Rows(), options, job, machine)) << testCase.what;
        EXPECT_EQ(Expected(L"backup", testCase.backups), Runs()) << testCase.what;
        g_log.clear();
        EXPECT_EQ(L"", Components::Restore(Rows(), options, job, machine)) << testCase.what;
        EXPECT_EQ(Expected(L"restore", testCase.restores), Runs()) << testCase.what;
    }
    // Certificate Services is asked about the caller's server.
    EXPECT_NE(g_log.end(), std::find(g_log.begin(), g_log.end(), L"CertSvc on SRV1?"));
}

TEST_F(ComponentTable, OnlyEnabledComponentsRunAndTheirGatesAloneAreAsked)
{
    options.m_bRegistryService = 7;   // any nonzero value is true
    options.m_bClusterDatabase = VARIANT_TRUE;
    platform.clusterNode = false;
    EXPECT_EQ(L"", Components::Backup(Rows(), options, job, platform));
    EXPECT_EQ((std::vector<String>{L"cluster node?", Expected(L"backup", {L"registry"})[0]}), g_log);

    // Restore mode is asked where the directory restores stand even when they are not wanted.
    g_log.clear();
    options.m_bClusterDatabase = VARIANT_FALSE;
    EXPECT_EQ(L"", Components::Restore(Rows(), options, job, platform));
    EXPECT_EQ((std::vector<String>{L"restore mode?", Expected(L"restore", {L"registry"})[0]}), g_log);
}

TEST_F(ComponentTable, RestoreStopsWhenRestoreModeCannotBeRead)
{
    EnableAll();
    platform.restoreModeReadable = false;
    EXPECT_EQ(L"IsActiveDirectoryRestoreMode() failed.", Components::Restore(Rows(), options, job, platform));
    EXPECT_EQ(Expected(L"restore", {L"boot files", L"COM+ database"}), Runs());
}

TEST_F(ComponentTable, TheFirstFailingComponentStopsTheRun)
{
    EnableAll();
    g_failingEntry = L"backup registry";
    EXPECT_EQ(L"fake failure", MessageOf<RegistryServiceException>([&] { Components::Backup(Rows(), options, job, platform); }));
    const std::vector<String> runs = Runs();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(Expected(L"backup", {L"registry"})[0], runs.back());
    EXPECT_EQ(6u, runs.size());
}
