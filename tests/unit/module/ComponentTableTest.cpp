// The component table as the object runs it: the system's rows, through a recording entry, run
// against a machine whose answers the test chooses.

#include "module/ComponentRuns.h"

#include "errors/Exceptions.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>


namespace
{
    // The log of a run: a component's letter (capital on backup), and the platform's questions.
    String g_log;
    // The question answered no, or the entry that throws ("unreadable": restore mode cannot be read).
    String g_deny;

    wchar_t Letter(const Component& component)
    {
        const String letters = L"b:boot-files a:active-directory s:sysvol c:certificate-services k:cluster r:registry m:complus ";
        const size_t at = letters.find(L':' + String(component.option + 2) + L' ');
        return at == String::npos ? L'?' : letters[at - 1];
    }

    template <bool Backup>
    void Fake(const Component& component, const ComponentJob&)
    {
        const String letter(1, Backup ? towupper(Letter(component)) : Letter(component));
        g_log += letter + L" ";
        if (letter == g_deny)
            throw RegistryServiceException(L"fake failure");
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
        {true, L"basckrm", L"cert@SRV1?", L"B dc? A dc? S cert@SRV1? node? K R M ", L""},
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
        for (const Component& component : Components::All())
            // A caller may pass any nonzero value for yes.
            options.*component.flag = String(test.enabled).find(Letter(component)) != String::npos ? 1 : 0;
        ComponentJob job;
        job.server = L"SRV1";
        job.directory = scratch / std::to_wstring(index++);
        FakePlatform platform;
        g_log.clear();
        g_deny = test.deny;
        String result;
        try
        {
            result = test.backup ? ComponentRuns::Backup(options, job, platform, &Fake<true>)
                                 : ComponentRuns::Restore(options, job, platform, &Fake<false>);
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
