// The boot-files restore's refusals of a manifest that would lead out of its backup, and the
// shell operation's refusals of an incomplete request. The backup, the restore and the restart
// are driven by the lab's boot-files test, stored paths that lead up or to another machine, and
// wildcards, device names and trailing dots in them, by the hostile test.

#include "bootfiles/CoreBootSystemFiles.h"
#include "bootfiles/CoreBootSystemFilesBackupSet.h"
#include "bootfiles/ShellFileOperation.h"

#include "common/ScratchDirectory.h"

namespace
{
    struct StoredPathsCase
    {
        const char* systemRoot;
        const char* bootDrive;
        const char* allUsersProfile;
        const wchar_t* refused;   // element named in the message
        const wchar_t* shown;     // the value as the message shows it, colons removed
    };

    const StoredPathsCase StoredPathsCases[] = {
        {"C:\\WINDOWS\\. .", "C:", "C:\\Documents and Settings\\All Users", L"systemroot", L"C\\WINDOWS\\. ."},
        {"", "C:", "C:\\Documents and Settings\\All Users", L"systemroot", L""},
        {"C:\\WINDOWS", "C:\\", "C:\\Documents and Settings\\All Users", L"bootdriveletter", L"C\\"},
        {"C:\\WINDOWS", "..", "C:\\Documents and Settings\\All Users", L"bootdriveletter", L".."},
        {"C:\\WINDOWS", "C:", "C:\\Documents and Settings/../x", L"allusersprofile", L"C\\Documents and Settings/../x"},
    };
}

TEST(CoreBootSystemFilesRestore, StoredPathsThatLeaveTheBackupAreRefusedBeforeAnythingIsStaged)
{
    for (const StoredPathsCase& row : StoredPathsCases)
    {
        ScratchDirectory folder;
        WriteTextFile(folder / CoreBootSystemFilesBackupSet::FileName,
                      std::string("<BackupSet type=\"CoreBootSystemFiles\"><systemroot>") + row.systemRoot +
                          "</systemroot><bootdriveletter>" + row.bootDrive + "</bootdriveletter><allusersprofile>" +
                          row.allUsersProfile + "</allusersprofile></BackupSet>");
        WriteTextFile(folder / L"BootFiles\\C\\NtLdr", "saved loader");

        const String message = MessageOf<CoreBootSystemFilesBackupSetException>(
            [&] { CoreBootSystemFiles::Restore(folder.Path()); });
        EXPECT_EQ(Strings::Format(L"Invalid %s in %s: %s", row.refused,
                                  (folder / CoreBootSystemFilesBackupSet::FileName).c_str(), row.shown),
                  message)
            << row.systemRoot << " | " << row.bootDrive << " | " << row.allUsersProfile;
    }
}

namespace
{
    struct IncompleteOperationCase
    {
        bool flagsSet;
        UINT function;
        int sources;
        int destinations;
    };

    const IncompleteOperationCase IncompleteOperations[] = {
        {false, FO_COPY, 1, 1},   // flags never set
        {true, 0, 1, 1},          // no function
        {true, FO_COPY, 0, 1},    // nothing to copy
        {true, FO_COPY, 1, 0},    // nowhere to copy to
    };
}

TEST(ShellFileOperation, AnIncompleteRequestNeverReachesTheShell)
{
    ScratchDirectory folder;
    WriteTextFile(folder / L"source.txt", "kept");
    for (const IncompleteOperationCase& row : IncompleteOperations)
    {
        ShellFileOperation operation;
        for (int i = 0; i < row.sources; ++i)
            operation.AddSource(folder / L"source.txt");
        for (int i = 0; i < row.destinations; ++i)
            operation.AddDestination(folder / Strings::Format(L"copy%d", i));
        if (row.flagsSet)
            operation.SetFlags(row.function, nullptr, true, false, false, true, true, false, false);

        bool started = true;
        int result = -12345;
        bool aborted = true;
        EXPECT_FALSE(operation.Run(&started, &result, &aborted)) << row.function << " " << row.sources << " " << row.destinations;
        EXPECT_FALSE(started);
        EXPECT_EQ(-12345, result);
        EXPECT_TRUE(aborted);
        EXPECT_FALSE(IsFileOnDisk(folder / L"copy0"));
        EXPECT_TRUE(IsFileOnDisk(folder / L"source.txt"));
    }
}
