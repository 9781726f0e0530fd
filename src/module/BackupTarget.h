#pragma once
// Where a backup may go. A backup empties its target first and copies live folders into it, so
// the target must be new, empty or an earlier backup, and must not lie in what the components
// asked for copy. The rules read the component table (Components.h) and the components' live
// folders, and nothing else of them: ssbr applies them without the components' code.

#include "module/Components.h"

#include "text/Strings.h"

namespace BackupTarget
{
    // The live folders a component reads on backup or writes on restore, read from where the
    // component reads them; none for one that copies no live folder (the registry and COM+ go
    // through the platform's own calls). A backup into one of them, or below, would copy into what
    // it copies.
    StringList LiveFolders(const Component& component);
    using LiveFoldersOf = StringList (*)(const Component& component);

    // Throws FileSystemException "Invalid backup directory: %s" unless a backup of the components
    // that options enables may go into directory: not a volume or share root, a file's stream or
    // the Windows directory; not equal to or below a live folder of an enabled component (the
    // folders of the others do not count); and, when it exists, empty or an earlier backup, a
    // folder whose every top-level entry is a name that a component writes there (a loose file
    // only beside its component's mark) or one of the catalog's files (SHA256SUMS, backup.json).
    void Check(const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options, const String& directory,
               LiveFoldersOf liveFolders = &LiveFolders);

    // Checks the target, then empties it, or creates it (one level; the parent must exist).
    // Returns an empty text, or the caller's error text when it cannot be emptied or created;
    // nothing is deleted or created when the check throws.
    String Prepare(const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options, const String& directory,
                   LiveFoldersOf liveFolders = &LiveFolders);

    // Whether directory holds a top-level entry that shows the component's backup by itself
    // (a Mark file or a MarkFolder folder).
    bool HasMark(const Component& component, const String& directory);
}
