#include "sysvol/SystemVolume.h"

#include "common/ErrorText.h"
#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "sysvol/SystemVolumeBackupSet.h"

#include <algorithm>

namespace
{
    const wchar_t* const NoBackup = L"No SysVol backup in %s";
    const wchar_t* const CopyFailed = L"Directories::Copy(%s, %s) failed: %d\n%s";

    String LiveTree()
    {
        const String source = L"%SystemRoot%";
        EnvironmentVariables variables;
        String root;
        if (variables.Expand(source, root) != S_OK)
            throw SystemVolumeException(Strings::Format(L"EnvironmentVariables::Expand(%s, %s) failed: %s",
                                                        source.c_str(), root.c_str(), variables.GetError().c_str()));
        return Directories::RemoveBackslash(root) + L"\\SysVol";
    }

    String CopyFolder(const String& directory)
    {
        String folder = directory;
        Directories::AppendBackslash(folder);
        return folder + L"SysVol";
    }

    [[noreturn]] void ThrowCopyFailed(const String& source, const String& destination, DWORD code)
    {
        throw SystemVolumeException(Strings::Format(CopyFailed, source.c_str(), destination.c_str(),
                                                    static_cast<int>(code), ErrorText::Format(code).c_str()));
    }

    // A link inside the backup folder would make the restore read a tree from elsewhere.
    bool PassesThroughLink(const String& folder, const String& relativePath)
    {
        String path = folder;
        size_t start = 0;
        for (;;)
        {
            const DWORD attributes = GetFileAttributesW(Paths::ToLongPath(path).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                return true;
            if (start > relativePath.size())
                return false;
            const size_t end = std::min(relativePath.find(L'\\', start), relativePath.size());
            path += L'\\' + relativePath.substr(start, end - start);
            start = end + 1;
        }
    }
}

void SystemVolume::Backup(const String& directory)
{
    const String live = LiveTree();
    String relative = live;
    relative.erase(std::remove(relative.begin(), relative.end(), L':'), relative.end());
    const String copy = CopyFolder(directory) + L'\\' + relative;

    // Written before any file is copied, so that a half-done copy is still found.
    SystemVolumeBackupSet backupSet(directory);
    backupSet.Open();
    backupSet.SetDirectory(relative);
    if (!backupSet.Save())
        throw SystemVolumeException(L"Could not save xml file!");

    // A missing tree would copy as empty: a backup without SysVol must not pass for one.
    if (!Directories::Exists(live))
        ThrowCopyFailed(live, copy, ERROR_PATH_NOT_FOUND);
    const DWORD code = Directories::Copy(live, copy);
    if (code != ERROR_SUCCESS)
        ThrowCopyFailed(live, copy, code);
}

void SystemVolume::Restore(const String& directory)
{
    SystemVolumeBackupSet backupSet(directory);
    backupSet.OpenExisting(NoBackup);
    const String relative = backupSet.GetDirectory();
    const String folder = CopyFolder(directory);
    if (!Paths::IsRelativeBelow(relative) || PassesThroughLink(folder, relative))
        throw SystemVolumeException(Strings::Format(L"Invalid SysVol copy path in %s: %s",
                                                    backupSet.GetFilePath().c_str(), relative.c_str()));
    const String copy = folder + L'\\' + relative;
    // The copy treats a missing source as empty; restoring nothing is no restore.
    if (!Directories::Exists(copy))
        throw SystemVolumeException(Strings::Format(NoBackup, directory.c_str()));

    const String live = LiveTree();
    const DWORD code = Directories::Copy(copy, live);
    if (code != ERROR_SUCCESS)
        ThrowCopyFailed(copy, live, code);
}
