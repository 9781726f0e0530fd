#!/bin/bash
# The module finds MountManager.dll beside itself, whatever folder the program that uses it was
# started from, and never loads one of that name from the program's folder or the search path.
# A copy of ssbr in C:\Tools, started there with a PATH that does not name the Harborline folder,
# backs up a hive list with a volume that no drive maps to directly, which makes the drive-letter
# lookup resolve links through MountManager.dll.
source "$(dirname "$0")/lib/common.bash"

provision registry-mountmanager --os 2003
MACHINE=$MACHINES/registry-mountmanager
machines_ready
DRIVE=$MACHINE/drive_c
HARBORLINE=$DRIVE/Program\ Files/Harborline
mkdir -p "$DRIVE/Tools"
# ssbr links the component table, and with it the VSS client library that ships beside it.
cp "$HARBORLINE/ssbr.exe" "$HARBORLINE/QmVss.dll" "$DRIVE/Tools/"

# backup_from_tools TARGET: ssbr backup TARGET --registry, run from C:\Tools as described above;
# sets OUT, ERR, RC, and SEEN_PATH to the PATH ssbr was started with.
backup_from_tools() {
    printf '@echo off\r\nset PATH=C:\\windows\\system32;C:\\windows\r\ncd /d C:\\Tools\r\necho %%PATH%%> C:\\Tools\\path.txt\r\nC:\\Tools\\ssbr.exe backup %s --registry\r\nexit /b %%ERRORLEVEL%%\r\n' \
        "$1" >"$DRIVE/Tools/backup.cmd"
    run_in "$MACHINE" cmd /c 'C:\Tools\backup.cmd'
    SEEN_PATH=$(tr -d '\r' <"$DRIVE/Tools/path.txt")
}

run_in "$MACHINE" reg add 'HKLM\System\CurrentControlSet\Control\hivelist' /v '\REGISTRY\MACHINE\QMDATA' \
    /d '\Device\HarddiskVolume7\qm\data' /f
expect_eq "adding a hive on an unmapped volume: exit" 0 "$RC"

backup_from_tools 'C:\bk-tools'
expect_eq "PATH of the program in C:\\Tools" 'C:\windows\system32;C:\windows' "$SEEN_PATH"
expect_eq "started elsewhere: exit" 1 "$RC"
# Every DOS name was resolved through the module before the lookup gave up.
expect_contains "started elsewhere" \
    $'An exception occurred in Backup:\nMountManagerException ERROR: Could not get drive letter\n' "$ERR"

# Without the module beside the backup module, one planted in the program's folder (searched
# first by a load by name) is not taken.
mv "$HARBORLINE/MountManager.dll" "$DRIVE/Tools/MountManager.dll"
backup_from_tools 'C:\bk-planted'
expect_eq "planted module: exit" 1 "$RC"
expect_contains "planted module" \
    $'An exception occurred in Backup:\nMountManagerException ERROR: LoadLibrary(C:\\Program Files\\Harborline\\MountManager.dll) failed.\n' \
    "$ERR"

finish
