#!/bin/bash
# A backup empties its target first, so the module takes only a target that is new, empty or
# holds an earlier backup: the Windows directory and a folder of someone else's files are refused
# before anything in them is deleted, and an earlier backup is emptied and replaced.
source "$(dirname "$0")/lib/common.bash"

provision backup-target --os 2003
MACHINE=$MACHINES/backup-target
machines_ready
DRIVE=$MACHINE/drive_c

# --- refused, untouched ------------------------------------------------------------------------
echo canary >"$DRIVE/windows/qm-canary.txt"
run_in "$MACHINE" ssbr backup 'C:\WINDOWS' --registry
expect_eq "backup into the Windows directory: exit" 1 "$RC"
expect_contains "backup into the Windows directory: reason" \
    $'An exception occurred in Backup:\nFileSystemException ERROR: Invalid backup directory: C:\\WINDOWS\n' "$ERR"
[ -f "$DRIVE/windows/qm-canary.txt" ] || fail "the Windows directory lost a file"
[ -d "$DRIVE/windows/system32" ] || fail "the Windows directory lost system32"
rm -f "$DRIVE/windows/qm-canary.txt"

mkdir -p "$DRIVE/data/sub"
echo mine >"$DRIVE/data/notes.txt"
echo deeper >"$DRIVE/data/sub/more.txt"
run_in "$MACHINE" ssbr backup 'C:\data' --registry
expect_eq "backup into a folder of other files: exit" 1 "$RC"
expect_contains "backup into a folder of other files: reason" "Invalid backup directory: C:\\data" "$ERR"
expect_eq "the other files stay" "mine deeper" "$(cat "$DRIVE/data/notes.txt" "$DRIVE/data/sub/more.txt" | tr '\n' ' ' | sed 's/ $//')"
[ -e "$DRIVE/data/Reg" ] && fail "a refused backup wrote into the folder"

# --- an earlier backup is replaced -------------------------------------------------------------
run_in "$MACHINE" ssbr backup 'C:\bk' --registry
expect_eq "first backup: exit" 0 "$RC"
echo stale >"$DRIVE/bk/stale.txt"
mkdir -p "$DRIVE/bk/Reg/Z"
echo gone >"$DRIVE/bk/Reg/Z/old-hive"
run_in "$MACHINE" ssbr backup 'C:\bk' --registry
expect_eq "backup over an earlier one: exit" 0 "$RC"
expect_eq "backup over an earlier one: stderr" "" "$ERR"
[ -e "$DRIVE/bk/stale.txt" ] && fail "the earlier backup's folder was not emptied"
[ -e "$DRIVE/bk/Reg/Z" ] && fail "the earlier backup's hives were not removed"
[ -f "$DRIVE/bk/RegistryBackupSet.xml" ] || fail "no manifest after the second backup"

finish
