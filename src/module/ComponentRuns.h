#pragma once
// The object's backup and restore: the components of the table (Components.h) run in the table's
// orders where their gates pass, each through its own backup or restore entry. The runs take the
// entry as a parameter, so a test can drive them with one of its own.

#include "module/Components.h"

#include "text/Secret.h"
#include "text/Strings.h"

#include <windows.h>


struct ComponentJob
{
    String server;
    String domain;
    String user;
    Secret password;   // wiped when the job goes
    String directory;
    String quorumDriveLetter;
    bool truncateLogs = false;
    bool forceClusterShutdown = false;
};

namespace ComponentRuns
{
    // The code of one component's backup or restore.
    using Entry = void (*)(const Component& component, const ComponentJob& job);
    // The component's own backup and restore.
    void BackupEntry(const Component& component, const ComponentJob& job);
    void RestoreEntry(const Component& component, const ComponentJob& job);

    // Prepares the target directory (BackupTarget::Prepare) and runs the enabled components whose
    // gates pass, in backup order. Throws FileSystemException "Invalid backup directory: %s" for a
    // target a backup may not take, before anything is deleted or created. Returns an empty text
    // on success, the caller's error text when the target cannot be emptied or created; a
    // component's exception passes through and stops the run.
    String Backup(const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options, const ComponentJob& job,
                  ComponentPlatform& platform, Entry entry = &BackupEntry);

    // Runs the enabled components whose gates pass, in restore order, without touching the
    // target. Restore mode is asked once, where the first component gated on it stands, whether or
    // not that one is enabled. Returns an empty text, or the caller's error text when restore
    // mode cannot be found out (components before that point have run).
    String Restore(const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options, const ComponentJob& job,
                   ComponentPlatform& platform, Entry entry = &RestoreEntry);

    // Sets online to nonzero when the server's directory service answers as online.
    void ActiveDirectoryIsOnline(const String& server, DWORD& online);
}
