#pragma once
// The components the object drives, as one table of plain data: each row is everything the rest
// of the system needs to know about a component (its option flag and ssbr switch, its display
// name, the names its backup writes at the top of the target, the gates and places in the backup
// and restore orders, what a skip means for it). The table links nothing of the components, so a
// client reads it without their code; the runs (ComponentRuns.h) and the backup-target rules
// (BackupTarget.h) are built on it.

#include "SystemStateBackupRestore.h"

#include "text/Strings.h"

#include <cstddef>

enum class ComponentGate
{
    None,
    DomainController,
    ClusterNode,
    CertificateServices,   // "CertSvc" installed on the job's server
    RestoreMode,           // started in directory-services restore mode
};

// What a gate asks about the machine. The component object answers from the running system,
// ssbr from what it found before the call.
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
    const wchar_t* option;   // ssbr's option, "--registry"; without the dashes, its id
    const wchar_t* name;     // as a summary names it, "registry"
    VARIANT_BOOL _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS::*flag;
    // Every name a backup of this component writes at the top of the target, ended by a null
    // name: an earlier backup holds nothing else. The first is its mark.
    const TopLevelName* topLevelNames;
    // How the class names of the component's exceptions begin ("Registry": RegistryServiceException,
    // RegistryBackupSetException).
    const wchar_t* exceptionPrefix;
    int backupPosition;
    ComponentGate backupGate;
    int restorePosition;
    ComponentGate restoreGate;
    // A restore only stages it: the system swaps it in at its next start.
    bool restoreStaged;
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

    // What a backup application keeps at the top of a backup beside the components' names:
    // ssbr's catalog.
    inline constexpr const wchar_t* SumsFile = L"SHA256SUMS";
    inline constexpr const wchar_t* InfoFile = L"backup.json";

    // Whether the gate lets its component run. Restore mode is not asked here: restoreMode is the
    // answer the caller had (the runs ask it once).
    bool Passes(ComponentGate gate, ComponentPlatform& platform, const String& server, bool restoreMode);

    // Why the gate skips a component: a text with one %s for the server.
    const wchar_t* SkipReason(ComponentGate gate);
}
