// A backup empties its target first, so it takes only a target that holds nothing or an earlier
// backup; the emptying itself is checked. Targets in the components' live folders are refused in
// a lab machine with every role (tests/lab/backup_target.sh), where a failure harms nothing; here
// the Windows directory is only ever checked, never prepared.

#include "module/BackupTarget.h"

#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
    using Options = _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS;

    String Invalid(const String& directory) { return L"Invalid backup directory: " + directory; }

    // What a backup of the component leaves at the top of target, as the table names it: its
    // manifest, its folders with a file in each, loose files beside its manifest.
    void WriteBackupOf(const Component& component, const String& target, bool upperCase)
    {
        for (const TopLevelName* name = component.topLevelNames; name->name != nullptr; ++name)
        {
            const String written = upperCase ? Strings::ToUpper(name->name) : String(name->name);
            if (name->kind == TopLevelKind::Mark)
                WriteTextFile(target + L"\\" + written, "earlier");
            else if (name->kind == TopLevelKind::LooseFiles)
                WriteTextFile(target + L"\\edb00001" + written.substr(1), "earlier");
            else
                WriteTextFile(target + L"\\" + written + L"\\C\\file", "earlier");
        }
    }
}

TEST(BackupTargetRules, RootsTheWindowsDirectoryAndForeignFoldersAreRefusedAndKeptWhole)
{
    ScratchDirectory scratch;
    const Options options = {};
    wchar_t path[MAX_PATH + 1] = {};
    const String windows(path, GetSystemWindowsDirectoryW(path, MAX_PATH + 1));
    ASSERT_FALSE(windows.empty());
    // Even with one of our manifests in it, a root or the Windows directory is no backup target.
    const String planted[] = {L"C:\\RegistryBackupSet.xml", windows + L"\\RegistryBackupSet.xml"};
    for (const String& manifest : planted)
        WriteTextFile(manifest, "<BackupSet/>");
    for (const String& directory : {String(L"C:\\"), String(L"C:"), String(L"\\\\LABHOST\\C$"), String(L"\\\\LABHOST\\C$\\"),
                                    windows, windows + L"\\", Strings::ToUpper(windows), L"\\\\?\\" + windows,
                                    // A stream of a file, not a folder.
                                    scratch / L"bk:stream", L"\\\\?\\" + scratch / L"bk:stream"})
        EXPECT_EQ(Invalid(directory), MessageOf<FileSystemException>([&] { BackupTarget::Check(options, directory); }))
            << Strings::ToUtf8(directory);
    for (const String& manifest : planted)
        EXPECT_TRUE(DeleteFileW(manifest.c_str()));

    // Every top-level entry must be one a component (or the catalog) writes there, of its kind:
    // one mark among someone's files does not make them a backup.
    const std::vector<std::vector<const wchar_t*>> foreign = {
        {L"notes.txt"},
        {L"comDB.reg", L"report.docx", L"drafts\\chapter1.txt"},
        {L"SHA256SUMS", L"backup.json", L"photos\\1.jpg"},
        // A folder of a manifest's name, a file where a component writes a folder.
        {L"RegistryBackupSet.xml\\x"},
        {L"Cluster"},
        // The directory's database and logs count only beside its manifest; logs of something else
        // are someone's.
        {L"ntds.dit", L"edb00001.log"},
        {L"ActiveDirectoryBackupSet.xml", L"ntds.dit", L"notes.txt"},
    };
    for (const auto& files : foreign)
    {
        const String target = scratch / (L"foreign" + std::to_wstring(&files - foreign.data()));
        for (const wchar_t* file : files)
            WriteTextFile(target + L"\\" + file, "mine");
        EXPECT_EQ(Invalid(target), MessageOf<FileSystemException>([&] { BackupTarget::Prepare(options, target); }))
            << Strings::ToUtf8(files[0]);
        for (const wchar_t* file : files)
            EXPECT_EQ("mine", ReadTextFile(target + L"\\" + file)) << Strings::ToUtf8(file);
    }
}

TEST(BackupTargetRules, AnEarlierBackupOfAnyComponentsIsEmptiedAndOneThatCannotBeFailsNamingTheEntry)
{
    ScratchDirectory scratch;
    const Options options = {};
    // An empty folder; each component's backup alone; all of them in other case, with the catalog
    // and a read-only file.
    const String all = scratch / L"all";
    ASSERT_TRUE(Directories::Create(all));
    EXPECT_EQ(L"", BackupTarget::Prepare(options, all));
    for (const Component& component : Components::All())
    {
        const String target = scratch / (component.option + 2);
        WriteBackupOf(component, target, false);
        EXPECT_EQ(L"", BackupTarget::Prepare(options, target)) << Strings::ToUtf8(component.option);
        // Only an empty folder can be removed.
        EXPECT_TRUE(RemoveDirectoryW(target.c_str())) << Strings::ToUtf8(component.option);
        WriteBackupOf(component, all, true);
    }
    WriteTextFile(all + L"\\SHA256SUMS", "sums");
    WriteTextFile(all + L"\\backup.json", "{}");
    SetFileAttributesW(Paths::ToLongPath(all + L"\\REG\\C\\file").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(L"", BackupTarget::Prepare(options, all));
    EXPECT_TRUE(RemoveDirectoryW(all.c_str()));

    const String target = scratch / L"held";
    const String held = target + L"\\RegistryBackupSet.xml";
    WriteTextFile(target + L"\\Reg\\C\\software", "hive");
    WriteTextFile(held, "<BackupSet type=\"registry\"/>");
    UniqueFileHandle open(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(open);
    // A component asked for must not run into a half-emptied target.
    EXPECT_EQ(L"Could not delete directory: " + target + L"\nCould not delete " + held + L": " +
                  SystemErrorText(ERROR_SHARING_VIOLATION),
              BackupTarget::Prepare(options, target));
    EXPECT_EQ("<BackupSet type=\"registry\"/>", ReadTextFile(held));
    // Nor into one that could not be made (one level only).
    EXPECT_EQ(L"CreateDirectory failed: " + SystemErrorText(ERROR_PATH_NOT_FOUND),
              BackupTarget::Prepare(options, scratch / L"no\\such"));
    EXPECT_FALSE(IsDirectoryOnDisk(scratch / L"no"));
}
