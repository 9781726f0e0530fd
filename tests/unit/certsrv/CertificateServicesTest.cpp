// The Certificate Services component's own rules: where a saved file goes, which names may be
// saved and restored, the log range, the manifest's list limit, and a system without the library.
// The lab tests (certsrv.sh, hostile/certsrv.bash) drive backup and restore through the library.

#include "certsrv/CertificateServices.h"
#include "files/DatabaseLogs.h"
#include "certsrv/CertificateServicesBackupSet.h"
#include "common/ScratchDirectory.h"

#include <new>
#include <string>
#include <utility>

TEST(CertificateServices, SavedFilePathCollapsesDoubleBackslashesBelowTheDirectory)
{
    const struct { const wchar_t* directory; const wchar_t* name; const wchar_t* expected; } cases[] = {
        {L"C:\\bk", L"\\\\HOST\\C$\\dir\\ca.edb", L"C:\\bk\\CertSrv\\HOST\\C$\\dir\\ca.edb"},
        {L"C:\\bk\\", L"\\\\HOST\\C$\\\\dir\\ca.edb", L"C:\\bk\\CertSrv\\HOST\\C$\\dir\\ca.edb"},
        {L"\\\\server\\share\\bk", L"\\\\HOST\\C$\\x", L"\\\\server\\share\\bk\\CertSrv\\HOST\\C$\\x"},
        {L"\\\\?\\C:\\bk", L"\\\\HOST\\C$\\x", L"\\\\?\\C:\\bk\\CertSrv\\HOST\\C$\\x"},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.expected, CertificateServices::SavedFilePath(testCase.directory, testCase.name))
            << testCase.name;
}

// What a backup saves (a name the library hands out stays below the backup folder), what a restore
// writes (a share path of plain names, whose kinds the PlainNames tests show) and which names are logs: "edb" and a generation of
// five to eight hex digits. A generation of nine digits, capitals and the checkpoint are refused as
// logs by the hostile test.
TEST(CertificateServices, NameRulesOfTheBackupTheRestoreAndTheLogs)
{
    const String share = L"\\\\HOST\\C$\\";
    const String part255(255, L'p');
    // share + folders of 255 characters + a file: exactly the longest name taken.
    const String folders = part255 + L"\\" + part255 + L"\\" + part255 + L"\\";
    const String longest = share + folders + String(CertificateServices::MaxNameLength - share.size() - folders.size(), L'f');
    const auto saved = &CertificateServices::IsSavedNameBelowFolder;
    const auto restored = &CertificateServices::IsPlainSharePath;
    const auto log = &CertificateServices::IsLogFileName;
    const struct { bool (*rule)(const String&); String name; bool taken; } cases[] = {
        {saved, share + L"WINDOWS\\system32\\CertLog\\ca.edb", true},
        {saved, share + L"a.b\\edb00001.log", true},
        {saved, share + L"..\\..\\outside.edb", false},
        {saved, share + L"a\\. .\\b", false},
        {saved, share + L"a\\...", false},
        {saved, L"\\\\HOST\\\\\\\\C$\\a", false},
        {saved, L"C:\\WINDOWS\\ca.edb", false},
        {saved, share + L"a:stream", false},
        {saved, L"\\\\HOST\\C$/a", false},
        {saved, L"relative\\ca.edb", false},
        {saved, L"", false},
        {restored, share + L"WINDOWS\\system32\\CertLog\\LabCA.edb", true},
        {restored, share + part255, true},
        {restored, longest, true},
        {restored, longest + L"f", false},
        {restored, L"\\\\HOST\\C$", false},
        {restored, share, false},
        {restored, share + L"CertLog\\\\LabCA.edb", false},
        {restored, L"\\HOST\\C$\\x.edb", false},
        {restored, L"C:\\WINDOWS\\x.edb", false},
        {restored, L"", false},
        {log, share + L"l\\edb00001.log", true},
        {log, share + L"l\\edbFFFFFFFF.log", true},
        {log, share + L"l\\edb0001.log", false},
        {log, share + L"l\\edb00000.log", false},
        {log, share + L"l\\edb00001.log.old", false},
    };
    for (const auto& row : cases)
        EXPECT_EQ(row.taken, row.rule(row.name))
            << Strings::ToUtf8(row.name.substr(0, 80)) << " (" << row.name.size() << " characters)";
}

TEST(CertificateServices, LogRangeComesFromTheHexNumbersOfTheLogNames)
{
    const struct { StringList names; ULONG lowest; ULONG highest; } cases[] = {
        {{L"\\\\H\\C$\\l\\edb00005.log", L"\\\\H\\C$\\l\\edb00003.log", L"\\\\H\\C$\\l\\edb00004.log"}, 3, 5},
        {{L"\\\\H\\C$\\l.d\\edb0001A.log", L"\\\\H\\C$\\l.d\\edb0000F.log"}, 0xF, 0x1A},
        {{L"\\\\H\\C$\\l\\edb.log", L"\\\\H\\C$\\l\\edb00007.log"}, 7, 7},
        {{L"\\\\H\\C$\\l\\edb00007"}, 0, 0},
        {{}, 0, 0},
    };
    for (const auto& testCase : cases)
    {
        ULONG lowest = 0xdeadbeef;
        ULONG highest = 0xdeadbeef;
        DatabaseLogs::Range(testCase.names, lowest, highest);
        EXPECT_EQ(testCase.lowest, lowest);
        EXPECT_EQ(testCase.highest, highest);
    }
}

TEST(CertificateServices, ASystemWithoutTheLibraryIsRefusedWithItsName)
{
    EXPECT_EQ(0u, MessageOf<CertificateServicesException>([] { CertificateServices(); })
                      .find(L"LoadLibrary(certadm.dll) failed: Error = 0x0000007E"));
}

// The lab's authority test sees failures thrown inside the worker reach the caller; the texts of
// each kind of exception are in the ComGuard tests. Only here: a worker out of memory.
namespace
{
    struct Worker
    {
        void ThrowsOutOfMemory(CertificateServices::BackupParameters*) { throw std::bad_alloc(); }
    };
}

TEST(CertificateServices, AWorkerOutOfMemoryEndsInTheRecordNotTheProcess)
{
    Worker worker;
    CertificateServices::BackupParameters record;
    record.result = static_cast<HRESULT>(0xdeadbeef);
    record.error = L"earlier: ";
    const UniqueKernelHandle thread = CertificateServices::StartMemberThread(worker, &Worker::ThrowsOutOfMemory, &record);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
    DWORD exitCode = 0xdeadbeef;
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(E_OUTOFMEMORY, record.result);
    EXPECT_EQ(L"earlier: Out of memory.", record.error);
}

// The lists share one reader. The hostile test refuses the logs one past their limit and a manifest
// past its size; here, a list at its limit is read whole.
TEST(CertificateServicesBackupSet, AListAtItsLimitIsReadWhole)
{
    ScratchDirectory folder;
    std::string files;
    for (size_t i = 0; i < CertificateServicesBackupSet::MaxDatabaseFiles; ++i)
        files += "<file>\\\\H\\C$\\f" + std::to_string(i) + "</file>";
    WriteTextFile(folder / CertificateServicesBackupSet::FileName,
                  "<BackupSet type='CertificateServices'><database/><checkpointdir/><logdir/><databasefiles>" + files +
                      "</databasefiles><dynamicfiles/><backuplogs/></BackupSet>");
    CertificateServicesBackupSet manifest(folder.Path());
    manifest.OpenSaved(L"No Certificate Services backup in %s");
    EXPECT_EQ(CertificateServicesBackupSet::MaxDatabaseFiles, manifest.GetDatabaseFiles().size());
}
