// The boot-files component as the shipped 32-bit module runs it on 64-bit Windows, in a lab
// 2003 server: a stand-in for the system's redirector (FakeRedirector) sends every file call on
// the system folder to a SysWOW64 folder of 32-bit twins unless redirection is off. The backup
// must save, and the restore schedule back, the system folder's own files. tests/lab/wow64.sh
// runs this program in the machine, restarts it and reads the live files back.

#include "bootfiles/CoreBootSystemFiles.h"
#include "errors/CurrentException.h"
#include "common/FakeRedirector.h"
#include "common/ScratchDirectory.h"
#include "files/Directories.h"
#include "platform/Libraries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace
{
    const wchar_t* const Backup = L"E:\\wow64";
    const std::string TwinContent = "32-bit twin";

    String SystemFolder() { return Libraries::SystemFolder(); }

    String WithoutColon(String path)
    {
        path.erase(std::remove(path.begin(), path.end(), L':'), path.end());
        return path;
    }

    // Every file below folder, by its path below it ("InetSrv\\Metabase.bin").
    void ListFiles(const String& folder, const String& below, std::vector<String>& files)
    {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do
        {
            const String name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const String relative = below.empty() ? name : below + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                ListFiles(folder + L"\\" + name, relative, files);
            else
                files.push_back(relative);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }

    // The files of the system folder that the component saves, by path below it: the catalogs,
    // the protected files there, the performance files, the metabase and the key store.
    std::vector<String> SystemFolderItems()
    {
        std::vector<String> items;
        for (const wchar_t* folder : {L"CatRoot", L"InetSrv", L"Microsoft\\Protect", L"drivers"})
            ListFiles(SystemFolder() + L"\\" + folder, folder, items);
        std::vector<String> top;
        ListFiles(SystemFolder(), L"", top);
        for (const String& name : top)
            if (Strings::StartsWithNoCase(name, L"Perf") || Strings::StartsWithNoCase(name, L"qm"))
                items.push_back(name);
        return items;
    }

    // Runs the component's step; a failure is reported with its text.
    template <typename Step>
    void RunStep(const char* what, Step step)
    {
        String failure;
        if (!CurrentException::Guarded(step, failure))
            ADD_FAILURE() << what << " failed: " << Strings::ToUtf8(failure);
    }

    // Each file call below the system folder was made with redirection off; the groups named
    // were among them.
    void ExpectEveryCallReachedTheSystemFolder(const char* step, std::initializer_list<const wchar_t*> groups)
    {
        std::map<String, int> seen;
        for (const FakeRedirector::Call& call : FakeRedirector::Calls())
        {
            EXPECT_TRUE(call.redirectionOff) << step << ": " << call.function << "(" << Strings::ToUtf8(call.path)
                                             << ") went to the 32-bit system's folder";
            EXPECT_STRNE("LoadLibraryW", call.function) << step << ": a library load with redirection off";
            EXPECT_STRNE("LoadLibraryExW", call.function) << step << ": a library load with redirection off";
            for (const wchar_t* group : groups)
                if (Strings::ToUpper(call.path).find(Strings::ToUpper(group)) != String::npos)
                    ++seen[group];
        }
        for (const wchar_t* group : groups)
            EXPECT_GT(seen[group], 0) << step << ": no call on " << Strings::ToUtf8(group);
        EXPECT_EQ(FakeRedirector::Disables(), FakeRedirector::Reverts()) << step;
    }
}

TEST(BootFilesUnderWow64, TheBackupSavesAndTheRestoreSchedulesTheSystemFoldersOwnFiles)
{
    // The 32-bit twins, where a redirected call would find them.
    const std::vector<String> items = SystemFolderItems();
    ASSERT_GT(items.size(), 10u);
    for (const String& item : items)
        WriteTextFile(FakeRedirector::RedirectedFolder() + L"\\" + item, TwinContent);

    // As the component object leaves it for the backup: there and empty.
    ASSERT_TRUE(Directories::Delete(Backup));
    ASSERT_TRUE(Directories::Create(Backup));
    {
        const FakeRedirector wow64;
        RunStep("the backup", [] { CoreBootSystemFiles::Backup(Backup); });
        ExpectEveryCallReachedTheSystemFolder(
            "the backup", {L"\\CatRoot\\", L"\\qmprot32.dll", L"\\drivers\\qmprotfs.sys", L"\\Perf", L"\\InetSrv\\",
                           L"\\Microsoft\\Protect\\"});
    }
    // Saved under the live path, D\<group>\C\windows\System32\<item>: each holds the system
    // folder's file, none a twin.
    const String savedSystem = WithoutColon(SystemFolder());
    size_t saved = 0;
    for (const wchar_t* group : {L"CatRoot", L"SPF", L"Perf", L"IIS"})
    {
        std::vector<String> files;
        ListFiles(String(Backup) + L"\\" + group, L"", files);
        for (const String& file : files)
        {
            if (!Strings::StartsWithNoCase(file, savedSystem + L"\\"))
                continue;
            ++saved;
            const String live = SystemFolder() + file.substr(savedSystem.size());
            const String copy = String(Backup) + L"\\" + group + L"\\" + file;
            EXPECT_EQ(ReadTextFile(live), ReadTextFile(copy)) << Strings::ToUtf8(copy);
            EXPECT_NE(TwinContent, ReadTextFile(copy)) << Strings::ToUtf8(copy);
        }
    }
    EXPECT_GE(saved, 15u) << "files of the system folder saved";

    // Changed after the backup, for the restart to put back.
    for (const wchar_t* item : {L"PerfC009.dat", L"qmprot32.dll", L"InetSrv\\Metabase.bin"})
        WriteTextFile(SystemFolder() + L"\\" + item, "changed after the backup");

    {
        const FakeRedirector wow64;
        RunStep("the restore", [] { CoreBootSystemFiles::Restore(Backup); });
        ExpectEveryCallReachedTheSystemFolder("the restore", {L"\\qmprot32.dll", L"\\Perf", L"\\InetSrv\\",
                                                              L"\\Microsoft\\Protect\\"});
    }
}
