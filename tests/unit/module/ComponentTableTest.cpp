// The component table as the object runs it: the system's rows, with their entries replaced by
// recording fakes, run against a machine whose answers the test chooses.

#include "module/ComponentRuns.h"

#include "errors/Exceptions.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace
{
    // The log of a run: a component's letter (capital on backup), and the platform's questions.
    String g_log;
    // The question answered no, or the entry that throws ("unreadable": restore mode cannot be read).
    String g_deny;
    std::vector<ComponentEntries> g_rows;

    wchar_t Letter(const String& name, bool backup)
    {
        const std::pair<const wchar_t*, wchar_t> letters[] = {
            {L"boot files", L'b'}, {L"Active Directory", L'a'}, {L"SysVol", L's'}, {L"Certificate Services", L'c'},
            {L"cluster database", L'k'}, {L"registry", L'r'}, {L"COM+ database", L'm'}};
        for (const auto& letter : letters)
            if (name == letter.first)
                return backup ? towupper(letter.second) : letter.second;
        return L'?';
    }

    template <size_t Row, bool Backup>
    void Fake(const ComponentJob&)
    {
        const String letter(1, Letter(g_rows[Row].component->name, Backup));
        g_log += letter + L" ";
        if (letter == g_deny)
            throw RegistryServiceException(L"fake failure");
    }

    template <size_t... Rows>
    void ReplaceEntries(std::index_sequence<Rows...>)
    {
        const std::pair<void (*)(const ComponentJob&), void (*)(const ComponentJob&)> fakes[] = {
            {&Fake<Rows, true>, &Fake<Rows, false>}...};
        for (size_t row = 0; row < g_rows.size(); ++row)
            std::tie(g_rows[row].backup, g_rows[row].restore) = fakes[row];
    }

    class FakePlatform final : public ComponentPlatform
    {
    public:
        bool IsDomainController() override { return Answer(L"dc?"); }
        bool IsClusterNode() override { return Answer(L"node?"); }
        bool IsCertificateServicesInstalled(const String& server) override { return Answer(L"cert@" + server + L"?"); }
        bool QueryRestoreMode(bool& mode) override
        {
            mode = Answer(L"mode?");
            return g_deny != L"unreadable";
        }

    private:
        static bool Answer(const String& question)
        {
            g_log += question + L" ";
            return question != g_deny;
        }
    };
}

TEST(ComponentTable, RunsTheEnabledComponentsInTheirOrderWhereTheirGatesPass)
{
    const ComponentEntriesList system = ComponentRuns::All();
    g_rows.assign(system.begin(), system.end());
    ASSERT_EQ(7u, g_rows.size());
    ReplaceEntries(std::make_index_sequence<7>());
    const struct
    {
        bool backup;
        const wchar_t* enabled;   // by letter
        const wchar_t* deny;
        const wchar_t* log;
        const wchar_t* result;
    } cases[] = {
        {true, L"basckrm", L"", L"B dc? A dc? S cert@SRV1? C node? K R M ", L""},
        // The registry restores last; restore mode is asked once, where the first component gated
        // on it stands, enabled or not.
        {false, L"basckrm", L"", L"b m mode? s cert@SRV1? c node? k a r ", L""},
        {true, L"basckrm", L"dc?", L"B dc? dc? cert@SRV1? C node? K R M ", L""},
        {false, L"basckrm", L"mode?", L"b m mode? cert@SRV1? c node? k r ", L""},
        {true, L"basckrm", L"node?", L"B dc? A dc? S cert@SRV1? C node? R M ", L""},
        {false, L"basckrm", L"node?", L"b m mode? s cert@SRV1? c node? a r ", L""},
        {true, L"basckrm", L"cert@SRV1?", L"B dc? A dc? S cert@SRV1? node? K R M ", L""},
        {false, L"basckrm", L"cert@SRV1?", L"b m mode? s cert@SRV1? node? k a r ", L""},
        {true, L"kr", L"node?", L"node? R ", L""},
        {false, L"r", L"", L"mode? r ", L""},
        {false, L"basckrm", L"unreadable", L"b m mode? ", L"IsActiveDirectoryRestoreMode() failed."},
        {true, L"basckrm", L"R", L"B dc? A dc? S cert@SRV1? C node? K R ", L"thrown: fake failure"},
    };
    ScratchDirectory scratch;
    int index = 0;
    for (const auto& test : cases)
    {
        SCOPED_TRACE(index);
        _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS options = {};
        for (const ComponentEntries& row : g_rows)
            // A caller may pass any nonzero value for yes.
            options.*row.component->flag =
                String(test.enabled).find(Letter(row.component->name, false)) != String::npos ? 1 : VARIANT_FALSE;
        ComponentJob job;
        job.server = L"SRV1";
        job.directory = scratch / std::to_wstring(index++);
        FakePlatform platform;
        g_log.clear();
        g_deny = test.deny;
        String result;
        try
        {
            const ComponentEntriesList rows = {g_rows.data(), g_rows.size()};
            result = test.backup ? ComponentRuns::Backup(rows, options, job, platform)
                                 : ComponentRuns::Restore(rows, options, job, platform);
        }
        catch (const RegistryServiceException& error)
        {
            result = L"thrown: " + error.GetMessage();
        }
        EXPECT_EQ(test.log, g_log);
        EXPECT_EQ(test.result, result);
        // The target is the caller's business on restore.
        EXPECT_EQ(test.backup, IsDirectoryOnDisk(job.directory));
    }
}
