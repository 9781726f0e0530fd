// The boot-files restore's refusals of a manifest that would lead out of its backup, and the
// shell operation's refusals of an incomplete request. The backup, the restore and the restart
// are driven by the lab's boot-files test, stored paths that lead up or to another machine by the
// hostile test.

#include "bootfiles/CoreBootSystemFiles.h"
#include "bootfiles/CoreBootSystemFilesBackupSet.h"
#include "bootfiles/ShellFileOperation.h"

#include "common/ScratchDirectory.h"

// Stored paths with dots or blanks, wildcards, device names and trailing dots in a part are refused
// by the hostile test (each kind of name by the PlainNames tests); here, the rest.
TEST(CoreBootSystemFilesRestore, StoredPathsThatLeaveTheBackupAreRefusedBeforeAnythingIsStaged)
{
    const struct
    {
        const char* systemRoot;
        const char* bootDrive;
        const char* allUsersProfile;
        const wchar_t* refused; // element named in the message
        const wchar_t* shown;   // the value as the message shows it, colons removed
    } cases[] = {
        {"", "C:", "C:\\Documents and Settings\\All Users", L"systemroot", L""},
        {"C:\\WINDOWS", "C:\\", "C:\\Documents and Settings\\All Users", L"bootdriveletter", L"C\\"},
        {"C:\\WINDOWS", "..", "C:\\Documents and Settings\\All Users", L"bootdriveletter", L".."},
        {"C:\\WINDOWS", "C:", "C:\\Documents and Settings/../x", L"allusersprofile", L"C\\Documents and Settings/../x"},
    };
    for (const auto& row : cases)
    {
        ScratchDirectory folder;
        WriteTextFile(folder / CoreBootSystemFilesBackupSet::FileName,
                      std::string("<BackupSet type=\"CoreBootSystemFiles\"><systemroot>") + row.systemRoot +
                          "</systemroot><bootdriveletter>" + row.bootDrive + "</bootdriveletter><allusersprofile>" +
                          row.allUsersProfile + "</allusersprofile></BackupSet>");
        WriteTextFile(folder / L"BootFiles\\C\\NtLdr", "saved loader");
        EXPECT_EQ(Strings::Format(L"Invalid %s in %s: %s", row.refused,
                                  (folder / CoreBootSystemFilesBackupSet::FileName).c_str(), row.shown),
                  MessageOf<CoreBootSystemFilesBackupSetException>([&] { CoreBootSystemFiles::Restore(folder.Path()); }))
            << row.systemRoot << " | " << row.bootDrive << " | " << row.allUsersProfile;
    }
}

TEST(ShellFileOperation, AnIncompleteRequestNeverReachesTheShell)
{
    ScratchDirectory folder;
    WriteTextFile(folder / L"source.txt", "kept");
    const struct { bool flagsSet; UINT function; int sources; int destinations; } cases[] = {
        {false, FO_COPY, 1, 1}, // flags never set
        {true, 0, 1, 1},        // no function
        {true, FO_COPY, 0, 1},  // nothing to copy
        {true, FO_COPY, 1, 0},  // nowhere to copy to
    };
    for (const auto& row : cases)
    {
        ShellFileOperation operation;
        for (int i = 0; i < row.sources; ++i)
            operation.AddSource(folder / L"source.txt");
        for (int i = 0; i < row.destinations; ++i)
            operation.AddDestination(folder / Strings::Format(L"copy%d", i));
        if (row.flagsSet)
            operation.SetFlags(row.function, nullptr, true, false, false, true, true, false, false);
        bool started = true, aborted = true;
        int result = -12345;
        EXPECT_FALSE(operation.Run(&started, &result, &aborted)) << row.function << " " << row.sources << " " << row.destinations;
        EXPECT_TRUE(!started && result == -12345 && aborted) << "started, or its result or abort flag changed";
        EXPECT_TRUE(!IsFileOnDisk(folder / L"copy0") && IsFileOnDisk(folder / L"source.txt"));
    }
}
