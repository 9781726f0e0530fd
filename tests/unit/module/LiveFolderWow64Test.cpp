// Under WOW64 a backup target that is a live folder of the system folder under another name is
// refused as one named there is: the live folder is compared as the 64-bit system has it, not as
// its 32-bit view (shown with the stand-in redirector).

#include "module/Components.h"

#include "errors/Exceptions.h"
#include "common/FakeRedirector.h"
#include "common/ScratchDirectory.h"
#include "files/Directories.h"
#include "files/Paths.h"
#include "platform/Libraries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace
{
    String g_liveFolder;
    StringList LiveFolder() { return {g_liveFolder}; }

    class NoRoles final : public ComponentPlatform
    {
    public:
        bool IsDomainController() override { return false; }
        bool IsClusterNode() override { return false; }
        bool IsCertificateServicesInstalled(const String&) override { return false; }
        bool QueryRestoreMode(bool&) override { return false; }
    };
}

// The other name of the folder: the same folder through the drive that Wine maps to the Unix
// root; empty where there is none.
namespace
{
    String OtherName(const String& folder)
    {
        wchar_t prefix[1024] = {};
        if (GetEnvironmentVariableW(L"WINEPREFIX", prefix, 1024) == 0 || prefix[0] != L'/')
            return String();
        String name = String(L"Z:") + prefix + L"/drive_c" + folder.substr(2);
        std::replace(name.begin(), name.end(), L'/', L'\\');
        return Paths::IsSameObject(name, folder) ? name : String();
    }
}

TEST(BackupTargetUnderWow64, AnotherNameOfALiveFolderOfTheSystemFolderIsRefused)
{
    g_liveFolder = Libraries::SystemFolder() + Strings::Format(L"\\qmwow64-live-%lu", GetCurrentProcessId());
    ASSERT_TRUE(Directories::Create(g_liveFolder));
    const String other = OtherName(g_liveFolder);
    if (other.empty())
    {
        RemoveDirectoryW(g_liveFolder.c_str());
        GTEST_SKIP() << "no second name for a folder here";
    }

    std::vector<Component> rows(Components::All().begin(), Components::All().end());
    for (Component& row : rows)
    {
        if (String(row.option) != L"--registry")
            continue;
        row.liveFolders = &LiveFolder;
        row.backup = [](const ComponentJob&) {};
    }
    _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS options = {};
    options.m_bRegistryService = VARIANT_TRUE;
    NoRoles machine;
    ComponentJob job;
    job.directory = other + L"\\bk";
    String message;
    {
        const FakeRedirector wow64;
        message = MessageOf<FileSystemException>(
            [&] { Components::Backup({rows.data(), rows.size()}, options, job, machine); });
    }
    EXPECT_EQ(L"Invalid backup directory: " + job.directory, message);
    EXPECT_FALSE(IsDirectoryOnDisk(g_liveFolder + L"\\bk")) << "the backup wrote into the live folder";

    Directories::Delete(g_liveFolder + L"\\bk");
    RemoveDirectoryW(g_liveFolder.c_str());
}
