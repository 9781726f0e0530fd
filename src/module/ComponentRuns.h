#pragma once
// The object's backup and restore: each component of the table (Components.h) with its backup
// and restore entries, run in the table's orders where the gates pass. The runs take their rows
// as a parameter, so a test can drive them with entries of its own.

#include "module/Components.h"

#include "text/Secret.h"
#include "text/Strings.h"

#include <windows.h>

#include <cstddef>

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

// A component of the table with its code.
struct ComponentEntries
{
    const Component* component;
    void (*backup)(const ComponentJob& job);
    void (*restore)(const ComponentJob& job);
};

struct ComponentEntriesList
{
    const ComponentEntries* first;
    size_t count;

    const ComponentEntries* begin() const { return first; }
    const ComponentEntries* end() const { return first + count; }
};

namespace ComponentRuns
{
    // Every row of the table with the component's own entries, in the table's order.
    ComponentEntriesList All();

    // Prepares the target directory (BackupTarget::Prepare) and runs the enabled components whose
    // gates pass, in backup order. Throws FileSystemException "Invalid backup directory: %s" for a
    // target a backup may not take, before anything is deleted or created. Returns an empty text
    // on success, the caller's error text when the target cannot be emptied or created; a
    // component's exception passes through and stops the run.
    String Backup(ComponentEntriesList components, const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options,
                  const ComponentJob& job, ComponentPlatform& platform);

    // Runs the enabled components whose gates pass, in restore order, without touching the
    // target. Restore mode is asked once, where the first component gated on it stands, whether or
    // not that one is enabled. Returns an empty text, or the caller's error text when restore
    // mode cannot be found out (components before that point have run).
    String Restore(ComponentEntriesList components, const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options,
                   const ComponentJob& job, ComponentPlatform& platform);

    // Sets online to nonzero when the server's directory service answers as online.
    void ActiveDirectoryIsOnline(const String& server, DWORD& online);
}
