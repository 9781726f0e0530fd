#pragma once
// The components the object drives, as one table: each row is a component's option flag, the
// names its backup writes at the top of the target, its live folders, the platform check that
// gates it, its backup and restore entries and its place in each order. The runs take the table
// as a parameter, so a test can drive them with rows of its own.

#include "SystemStateBackupRestore.h"

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

// What a gate asks about the machine. The component object answers from the running system.
class ComponentPlatform
{
public:
    virtual ~ComponentPlatform() = default;
    virtual bool IsDomainController() = 0;
    virtual bool IsClusterNode() = 0;
    virtual bool IsCertificateServicesInstalled(const String& server) = 0;
    // False when the mode cannot be found out (restoreMode is then untouched).
    virtual bool QueryRestoreMode(bool& restoreMode) = 0;
};

enum class ComponentGate
{
    None,
    DomainController,
    ClusterNode,
    CertificateServices,   // "CertSvc" installed on the job's server
    RestoreMode,           // started in directory-services restore mode
};

// What a name at the top of a backup target is to the component that writes it there.
enum class TopLevelKind
{
    Mark,         // a file that shows the component's backup by itself: its manifest
    MarkFolder,   // a folder that shows it by itself, for a backup that writes no manifest
    Folder,       // a folder written beside the manifest
    LooseFiles,   // files matching "*.<extension>", the component's only beside its mark
};

struct TopLevelName
{
    const wchar_t* name;   // null ends a list
    TopLevelKind kind;
};

struct Component
{
    const wchar_t* option;   // ssbr's option, "--registry"
    const wchar_t* name;     // as a summary names it, "registry"
    VARIANT_BOOL _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS::*flag;
    // Every name a backup of this component writes at the top of the target, ended by a null
    // name: an earlier backup holds nothing else.
    const TopLevelName* topLevelNames;
    // The live folders the component reads on backup or writes on restore, read from where the
    // component reads them; a backup into one of them, or below, would copy into what it
    // copies. Null when it copies no live folder.
    StringList (*liveFolders)();
    int backupPosition;
    ComponentGate backupGate;
    void (*backup)(const ComponentJob& job);
    int restorePosition;
    ComponentGate restoreGate;
    void (*restore)(const ComponentJob& job);
};

// A view of a table of components.
struct ComponentList
{
    const Component* first;
    size_t count;

    const Component* begin() const { return first; }
    const Component* end() const { return first + count; }
};

namespace Components
{
    // The system's components, in backup order.
    ComponentList All();

    // Prepares the target directory and runs the enabled components whose gates pass, in backup
    // order. The target must not exist (it is created, one level) or be empty or hold an earlier
    // backup (see CheckBackupTarget), which is then emptied. Throws FileSystemException
    // "Invalid backup directory: %s" for any other target, before anything is deleted or
    // created. Returns an empty text on
    // success, the caller's error text when the target cannot be emptied or created; a
    // component's exception passes through and stops the run.
    String Backup(ComponentList components, const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options,
                  const ComponentJob& job, ComponentPlatform& platform);

    // Runs the enabled components whose gates pass, in restore order, without touching the
    // target. Restore mode is asked once, where the first component gated on it stands, whether or
    // not that one is enabled. Returns an empty text, or the caller's error text when restore
    // mode cannot be found out (components before that point have run).
    String Restore(ComponentList components, const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options,
                   const ComponentJob& job, ComponentPlatform& platform);

    // Throws FileSystemException "Invalid backup directory: %s" unless a backup of the components
    // that options enables may go into directory: not a volume or share root, a file's stream or
    // the Windows directory; not equal to or below a live folder of an enabled component (the
    // folders of the others do not count); and, when it exists, empty or an earlier backup, a
    // folder whose every top-level entry is a name that a component writes there (a loose file
    // only beside its component's mark) or one of a backup application's catalog files
    // (SHA256SUMS, backup.json).
    void CheckBackupTarget(ComponentList components, const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options,
                           const String& directory);

    // Whether directory holds a top-level entry that shows the component's backup by itself
    // (a Mark file or a MarkFolder folder).
    bool HasMark(const Component& component, const String& directory);

    // Sets online to nonzero when the server's directory service answers as online.
    void ActiveDirectoryIsOnline(const String& server, DWORD& online);
}
