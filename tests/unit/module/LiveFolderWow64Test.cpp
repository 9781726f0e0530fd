// Under WOW64 a backup target that is a live folder of the system folder under another name is
// refused as one named there is: the live folder is compared as the 64-bit system has it, not as
// its 32-bit view (shown with the stand-in redirector).

#include "module/BackupTarget.h"

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
    // The registry copies the test's live folder.
    String g_liveFolder;
    StringList LiveFolder(const Component& component)
    {
        return component.flag == &_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS::m_bRegistryService ? StringList{g_liveFolder}
                                                                                             : StringList();
    }
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

    _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS options = {};
    options.m_bRegistryService = VARIANT_TRUE;
    const String target = other + L"\\bk";
    String message;
    {
        const FakeRedirector wow64;
        message = MessageOf<FileSystemException>([&] { BackupTarget::Prepare(options, target, &LiveFolder); });
    }
    EXPECT_EQ(L"Invalid backup directory: " + target, message);
    EXPECT_FALSE(IsDirectoryOnDisk(g_liveFolder + L"\\bk")) << "the backup wrote into the live folder";

    Directories::Delete(g_liveFolder + L"\\bk");
    RemoveDirectoryW(g_liveFolder.c_str());
}
