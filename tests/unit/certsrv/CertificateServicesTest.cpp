// The Certificate Services component's own rules: where a saved file goes, which names may be
// saved and restored, the log range of a restore, the manifest's lists and limits, and a system
// without the library. The lab tests (tests/lab/certsrv.sh, tests/lab/hostile/certsrv.bash) drive
// backup and restore through the library.

#include "certsrv/CertificateServices.h"
#include "common/DatabaseLogs.h"
#include "certsrv/CertificateServicesBackupSet.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

TEST(CertificateServices, SavedFilePathCollapsesDoubleBackslashesBelowTheDirectory)
{
    const struct
    {
        const wchar_t* directory;
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {L"C:\\bk", L"\\\\HOST\\C$\\dir\\ca.edb", L"C:\\bk\\CertSrv\\HOST\\C$\\dir\\ca.edb"},
        {L"C:\\bk\\", L"\\\\HOST\\C$\\\\dir\\ca.edb", L"C:\\bk\\CertSrv\\HOST\\C$\\dir\\ca.edb"},
        {L"\\\\server\\share\\bk", L"\\\\HOST\\C$\\x", L"\\\\server\\share\\bk\\CertSrv\\HOST\\C$\\x"},
        {L"\\\\?\\C:\\bk", L"\\\\HOST\\C$\\x", L"\\\\?\\C:\\bk\\CertSrv\\HOST\\C$\\x"},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.expected, CertificateServices::SavedFilePath(testCase.directory, testCase.name))
            << testCase.name;
}

TEST(CertificateServices, OnlyNamesThatStayBelowTheBackupFolderAreSaved)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"\\\\HOST\\C$\\WINDOWS\\system32\\CertLog\\ca.edb", true},
        {L"\\\\HOST\\C$\\a.b\\edb00001.log", true},
        {L"\\\\HOST\\C$\\..\\..\\outside.edb", false},
        {L"\\\\HOST\\C$\\a\\. .\\b", false},
        {L"\\\\HOST\\C$\\a\\...", false},
        {L"\\\\HOST\\\\\\\\C$\\a", false},
        {L"C:\\WINDOWS\\ca.edb", false},
        {L"\\\\HOST\\C$\\a:stream", false},
        {L"\\\\HOST\\C$/a", false},
        {L"relative\\ca.edb", false},
        {L"", false},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.second, CertificateServices::IsSavedNameBelowFolder(testCase.first)) << testCase.first;
}

TEST(CertificateServices, OnlyNamesWindowsKeepsAsWrittenAreRestored)
{
    const String share = L"\\\\HOST\\C$\\";
    const String part255(255, L'p');
    // share + folders of 255 characters + a file: exactly the longest name taken.
    const String folders = part255 + L"\\" + part255 + L"\\" + part255 + L"\\";
    const String longest = share + folders + String(CertificateServices::MaxNameLength - share.size() - folders.size(), L'f');
    const std::pair<String, bool> cases[] = {
        {share + L"WINDOWS\\system32\\CertLog\\LabCA.edb", true},
        {share + L"a.b\\CONFIG.SYS", true},
        {share + L"COM10\\LPT10\\CONSOLE.crl", true},
        {share + part255, true},
        {longest, true},
        {longest + L"f", false},
        {share + part255 + L"p", false},
        {L"\\\\HOST\\C$", false},
        {L"\\\\HOST\\C$\\", false},
        {share + L"CertLog\\edb0000B.log.", false},
        {share + L"CertLog \\LabCA.edb", false},
        {share + L"CertLog\\\\LabCA.edb", false},
        {share + L"CertLog\\..\\LabCA.edb", false},
        {share + L"CertLog\\edb0000B.log:x", false},
        {share + L"CertEnroll\\con", false},
        {share + L"CertEnroll\\Nul .crl", false},
        {share + L"CertEnroll\\lpt1.crl", false},
        {share + L"CertEnroll\\COM\u00b9.crl", false},
        {share + L"CertEnroll\\CONOUT$", false},
        {share + L"CertEnroll\\*.crl", false},
        {share + L"CertEnroll\\a?.crl", false},
        {share + L"CertEnroll\\a<b", false},
        {share + L"CertEnroll\\a|b", false},
        {share + L"CertEnroll\\a\tb", false},
        {share + L"CertEnroll/a.crl", false},
        {L"\\HOST\\C$\\x.edb", false},
        {L"C:\\WINDOWS\\x.edb", false},
        {L"", false},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.second, CertificateServices::IsPlainSharePath(testCase.first))
            << Strings::ToUtf8(testCase.first.substr(0, 80)) << " (" << testCase.first.size() << " characters)";
}

TEST(CertificateServices, LogsAreEdbAndAGenerationOfFiveToEightHexDigits)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"\\\\H\\C$\\l\\edb00001.log", true},
        {L"\\\\H\\C$\\l\\EDB0000A.LOG", true},
        {L"\\\\H\\C$\\l\\edbFFFFFFFF.log", true},
        {L"\\\\H\\C$\\l\\edb0001.log", false},
        {L"\\\\H\\C$\\l\\edb100000000.log", false},
        {L"\\\\H\\C$\\l\\edb00000.log", false},
        {L"\\\\H\\C$\\l\\edb0000G.log", false},
        {L"\\\\H\\C$\\l\\edb-0001.log", false},
        {L"\\\\H\\C$\\l\\edb.chk", false},
        {L"\\\\H\\C$\\l\\res00001.log", false},
        {L"\\\\H\\C$\\l\\edb00001.jrs", false},
        {L"\\\\H\\C$\\l\\edb00001.log.old", false},
        {L"\\\\H\\C$\\l\\LabCA.edb", false},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.second, CertificateServices::IsLogFileName(testCase.first)) << testCase.first;
}

TEST(CertificateServices, LogRangeComesFromTheHexNumbersOfTheLogNames)
{
    const struct
    {
        StringList names;
        ULONG lowest;
        ULONG highest;
    } cases[] = {
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

namespace
{
    // Worker bodies that end in every way a body can end.
    struct Worker
    {
        void Succeeds(CertificateServices::BackupParameters* record) { record->result = S_OK; }
        void ThrowsOurs(CertificateServices::BackupParameters*) { throw CertificateServicesException(L"ours"); }
        void ThrowsStandard(CertificateServices::BackupParameters*) { throw std::length_error("too long"); }
        void ThrowsOutOfMemory(CertificateServices::BackupParameters*) { throw std::bad_alloc(); }
        void ThrowsAnything(CertificateServices::BackupParameters*) { throw 42; }
    };
}

TEST(CertificateServices, WhateverTheWorkerThrowsEndsInTheRecordNotTheProcess)
{
    const struct
    {
        void (Worker::*body)(CertificateServices::BackupParameters*);
        HRESULT result;
        const wchar_t* error;
    } cases[] = {
        {&Worker::Succeeds, S_OK, L"earlier: "},
        {&Worker::ThrowsOurs, E_FAIL, L"earlier: CertificateServicesException ERROR: ours"},
        {&Worker::ThrowsStandard, E_FAIL, L"earlier: Standard library exception: too long"},
        {&Worker::ThrowsOutOfMemory, E_OUTOFMEMORY, L"earlier: Out of memory."},
        {&Worker::ThrowsAnything, E_FAIL, L"earlier: Unknown exception."},
    };
    Worker worker;
    for (const auto& testCase : cases)
    {
        CertificateServices::BackupParameters record;
        record.result = static_cast<HRESULT>(0xdeadbeef);
        record.error = L"earlier: ";
        const UniqueKernelHandle thread = CertificateServices::StartMemberThread(worker, testCase.body, &record);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
        DWORD exitCode = 0xdeadbeef;
        EXPECT_TRUE(GetExitCodeThread(thread.get(), &exitCode));
        EXPECT_EQ(0u, exitCode);
        EXPECT_EQ(testCase.result, record.result) << Strings::ToUtf8(testCase.error);
        EXPECT_EQ(testCase.error, record.error);
    }
}

TEST(CertificateServicesBackupSet, ListsReadBackNewestFirstAndARestoreNeedsAManifest)
{
    ScratchDirectory folder;
    {
        CertificateServicesBackupSet manifest(folder.Path());
        manifest.Open();
        EXPECT_EQ(L"", manifest.GetDatabase());
        EXPECT_TRUE(manifest.GetBackupLogs().empty());
        manifest.SetDatabase(L"first");
        manifest.SetDatabase(L"\\\\H\\C$\\db\\ca.edb");
        for (const wchar_t* name : {L"a", L"b", L"c"})
            manifest.AddBackupLog(name);
        manifest.AddDynamicFile(L"ca.crl");
        manifest.Save();
    }
    CertificateServicesBackupSet earlier(folder.Path());
    earlier.OpenExisting(L"No Certificate Services backup in %s");
    EXPECT_EQ(L"\\\\H\\C$\\db\\ca.edb", earlier.GetDatabase());
    EXPECT_EQ((StringList{L"c", L"b", L"a"}), earlier.GetBackupLogs());
    EXPECT_EQ(StringList{L"ca.crl"}, earlier.GetDynamicFiles());
    EXPECT_TRUE(earlier.GetDatabaseFiles().empty());

    ScratchDirectory empty(L"CertificateServicesNoManifest");
    EXPECT_EQ(L"No Certificate Services backup in " + empty.Path(),
              MessageOf<CertificateServicesBackupSetException>([&] {
                  CertificateServicesBackupSet(empty.Path()).OpenExisting(L"No Certificate Services backup in %s");
              }));
    EXPECT_FALSE(IsFileOnDisk(empty / CertificateServicesBackupSet::FileName));
}

TEST(CertificateServicesBackupSet, ManifestsAndListsBeyondTheirLimitsAreRefusedBeforeTheyAreRead)
{
    const wchar_t* const noBackup = L"No Certificate Services backup in %s";
    // A list at its limit is read whole; one entry more is refused, in each list.
    ScratchDirectory folder;
    const auto files = [](size_t count) {
        std::string list;
        for (size_t i = 0; i < count; ++i)
            list += "<file>\\\\H\\C$\\f" + std::to_string(i) + "</file>";
        return list;
    };
    const struct
    {
        const char* list;
        size_t limit;
        StringList (CertificateServicesBackupSet::*get)() const;
    } lists[] = {
        {"databasefiles", CertificateServicesBackupSet::MaxDatabaseFiles, &CertificateServicesBackupSet::GetDatabaseFiles},
        {"dynamicfiles", CertificateServicesBackupSet::MaxDynamicFiles, &CertificateServicesBackupSet::GetDynamicFiles},
        {"backuplogs", CertificateServicesBackupSet::MaxBackupLogs, &CertificateServicesBackupSet::GetBackupLogs},
    };
    for (const auto& list : lists)
    {
        for (const size_t count : {list.limit, list.limit + 1})
        {
            std::string text = "<BackupSet type='CertificateServices'><database/><checkpointdir/><logdir/>";
            for (const auto& other : lists)
                text += other.list == list.list ? std::string("<") + list.list + ">" + files(count) + "</" + list.list + ">"
                                                : std::string("<") + other.list + "/>";
            WriteTextFile(folder / CertificateServicesBackupSet::FileName, text + "</BackupSet>");
            CertificateServicesBackupSet manifest(folder.Path());
            manifest.OpenSaved(noBackup);
            if (count == list.limit)
                EXPECT_EQ(count, (manifest.*list.get)().size()) << list.list;
            else
                EXPECT_EQ(Strings::Format(L"The manifest %s lists more than %u files in %S", manifest.GetFilePath().c_str(),
                                          static_cast<unsigned>(list.limit), list.list),
                          MessageOf<CertificateServicesBackupSetException>([&] { (manifest.*list.get)(); }));
        }
    }

    // A manifest of the largest size is read; one byte more is refused unread (it would not parse).
    const std::string manifest = "<BackupSet type='CertificateServices'><database/><checkpointdir/><logdir/>"
                                 "<databasefiles/><dynamicfiles/><backuplogs/></BackupSet>";
    const std::string padding = "<!--" + std::string(CertificateServicesBackupSet::MaxBytes - manifest.size() - 7, 'x') + "-->";
    WriteTextFile(folder / CertificateServicesBackupSet::FileName, manifest + padding);
    EXPECT_EQ(L"(nothing thrown)", MessageOf<CertificateServicesBackupSetException>([&] {
                  CertificateServicesBackupSet(folder.Path()).OpenSaved(noBackup);
              }));
    WriteTextFile(folder / CertificateServicesBackupSet::FileName, manifest + padding + "x");
    const String path = folder / CertificateServicesBackupSet::FileName;
    EXPECT_EQ(Strings::Format(L"The manifest %s is larger than 8388608 bytes", path.c_str()),
              MessageOf<CertificateServicesBackupSetException>([&] {
                  CertificateServicesBackupSet(folder.Path()).OpenSaved(noBackup);
              }));
}
