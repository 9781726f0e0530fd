#!/bin/bash
# A backup empties its target first: the Windows directory is refused before anything in it is
# deleted, and the folder of a real earlier backup is taken, emptied and filled again. Other
# targets are refused or emptied in the unit tests (BackupTarget).
source "$(dirname "$0")/lib/common.bash"

provision backup-target --os 2003
MACHINE=$MACHINES/backup-target
machines_ready
DRIVE=$MACHINE/drive_c

echo canary >"$DRIVE/windows/qm-canary.txt"
run_in "$MACHINE" ssbr backup 'C:\WINDOWS' --registry
expect_eq "backup into the Windows directory: exit" 1 "$RC"
expect_contains "backup into the Windows directory: reason" \
    $'An exception occurred in Backup:\nFileSystemException ERROR: Invalid backup directory: C:\\WINDOWS\n' "$ERR"
[ -f "$DRIVE/windows/qm-canary.txt" ] && [ -d "$DRIVE/windows/system32" ] || fail "the Windows directory lost files"

run_in "$MACHINE" ssbr backup 'C:\bk' --registry
expect_eq "first backup: exit" 0 "$RC"
echo stale >"$DRIVE/bk/stale.txt"
run_in "$MACHINE" ssbr backup 'C:\bk' --registry
expect_eq "backup over an earlier one: exit" 0 "$RC"
[ -e "$DRIVE/bk/stale.txt" ] && fail "the earlier backup's folder was not emptied"
[ -f "$DRIVE/bk/RegistryBackupSet.xml" ] || fail "no manifest after the second backup"

# A link to a folder in the target: Windows removes the link itself; Wine cannot remove one, and
# the backup stops there, naming it. Either way what it points at stays.
mkdir -p "$DRIVE/elsewhere" && echo kept >"$DRIVE/elsewhere/kept.txt" && ln -s ../elsewhere "$DRIVE/bk/link"
run_in "$MACHINE" ssbr backup 'C:\bk' --registry
[ "$RC" = 0 ] && [ -L "$DRIVE/bk/link" ] && fail "the backup succeeded and kept the link"
[ "$RC" = 0 ] || expect_contains "a link that cannot be removed" 'Could not delete C:\bk\link' "$ERR"
expect_eq "the folder the link pointed at" kept "$(cat "$DRIVE/elsewhere/kept.txt")"

finish
