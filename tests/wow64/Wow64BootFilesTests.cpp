// The boot-files component as the shipped 32-bit module runs it on 64-bit Windows, in a lab 2003
// server: a stand-in for the system's redirector (FakeRedirector) sends every file call on the
// system folder to the SysWOW64 folder, where tests/lab/wow64.sh has put 32-bit twins of the files
// the component saves, unless redirection is off. The script then reads the saved files (none a
// twin), restarts the machine and reads the live files back.

#include "bootfiles/CoreBootSystemFiles.h"
#include "errors/CurrentException.h"
#include "common/FakeRedirector.h"
#include "common/ScratchDirectory.h"
#include "files/Directories.h"
#include "platform/Libraries.h"

#include <cstring>

namespace
{
    const wchar_t* const Backup = L"E:\\wow64";

    // Runs a step of the component under the stand-in: it succeeds, and every call it makes below
    // the system folder reaches the 64-bit system's own files (a library load with redirection
    // off would find the 64-bit libraries).
    template <typename Step>
    void UnderWow64(const char* what, Step step)
    {
        const FakeRedirector wow64;
        String failure;
        if (!CurrentException::Guarded(step, failure))
            ADD_FAILURE() << what << " failed: " << Strings::ToUtf8(failure);
        EXPECT_GT(FakeRedirector::Calls().size(), 10u) << what;
        for (const FakeRedirector::Call& call : FakeRedirector::Calls())
            EXPECT_TRUE(call.redirectionOff && std::strncmp(call.function, "LoadLibrary", 11) != 0)
                << what << ": " << call.function << "(" << Strings::ToUtf8(call.path) << ") with redirection "
                << (call.redirectionOff ? "off" : "on");
        EXPECT_EQ(FakeRedirector::Disables(), FakeRedirector::Reverts()) << what;
    }
}

TEST(BootFilesUnderWow64, TheBackupSavesAndTheRestoreSchedulesTheSystemFoldersOwnFiles)
{
    // As the component object leaves it for the backup: there and empty.
    ASSERT_TRUE(Directories::Delete(Backup));
    ASSERT_TRUE(Directories::Create(Backup));
    UnderWow64("the backup", [] { CoreBootSystemFiles::Backup(Backup); });
    // Changed after the backup, for the restart to put back.
    for (const wchar_t* item : {L"PerfC009.dat", L"qmprot32.dll", L"InetSrv\\Metabase.bin"})
        WriteTextFile(Libraries::SystemFolder() + L"\\" + item, "changed after the backup");
    UnderWow64("the restore", [] { CoreBootSystemFiles::Restore(Backup); });
}
