#!/bin/bash
# The platform libraries that the module loads when it needs them (certadm, ntdsbcli, sfc, clusapi,
# netapi32) come from the system folder by full path, never through the search path: with a
# planted library of each name in the program's own folder (searched first for a bare name), a
# backup of every component on a server of every role loads none of them and succeeds. And the
# module finds MountManager.dll beside itself, whatever folder the program that uses it was
# started from, and never loads one of that name from the program's folder or the search path.
source "$(dirname "$0")/lib/common.bash"

lab_machine libraries --os 2003 --role ca --role cluster --role dc
HARBORLINE="$C/Program Files/Harborline"
PLANTED="certadm.dll ntdsbcli.dll sfc.dll clusapi.dll netapi32.dll"

for name in $PLANTED; do
    [ -f "$C/windows/system32/$name" ] || fail "the lab's $name is not in the system folder"
    [ -e "$HARBORLINE/$name" ] && fail "the lab's $name is beside the programs, where a bare name finds it"
    cp "$QM_BUILD_DIR/lab/decoy/decoy.dll" "$HARBORLINE/$name"
done
rm -rf "$C/lab/decoys"

run_in "$MACHINE" ssbr status
for line in "Domain controller:                 yes" "Cluster node:                      yes" "Directory service online:          yes"; do
    expect_contains "status with planted libraries" "$line" "$OUT"
done
run_in "$MACHINE" ssbr backup 'C:\bk' --all
expect_eq "backup with planted libraries: exit and stderr" "0 " "$RC $ERR"
for line in "boot files:            done" "Active Directory:      done" "Certificate Services:  done" \
    "cluster database:      done"; do
    expect_contains "backup with planted libraries" "$line" "$OUT"
done
expect_eq "planted libraries loaded" "" "$(ls "$C/lab/decoys" 2>/dev/null | tr '\n' ' ')"
# A domain controller that is a cluster node (one network-API stand-in answers for both roles)
# saves its cluster database.
cmp -s "$C/windows/cluster/CLUSDB" "$C/bk/Cluster/CLUSDB" || fail "the cluster database was not saved"
# The protected files came from the lab's list, which only the system folder's sfc.dll gives.
[ -f "$C/bk/SPF/c/windows/system32/qmprot32.dll" ] || fail "the protected files were not listed"

for name in $PLANTED; do rm -f "$HARBORLINE/$name"; done

# A copy of ssbr in C:\Tools, started there with a PATH that does not name the Harborline folder,
# backs up a hive list with a volume that no drive maps to directly, which makes the drive-letter
# lookup resolve links through MountManager.dll.
mkdir -p "$C/Tools"
cp "$HARBORLINE/ssbr.exe" "$C/Tools/"
printf '@echo off\r\nsetlocal\r\nset PATH=C:\\windows\\system32;C:\\windows\r\ncd /d C:\\Tools\r\nC:\\Tools\\ssbr.exe backup %%1 --registry\r\n' >"$C/Tools/backup.cmd"
step - 'reg add HKLM\System\CurrentControlSet\Control\hivelist /v \REGISTRY\MACHINE\QMDATA /d \Device\HarddiskVolume7\qm\data /f'
step beside 'call C:\Tools\backup.cmd C:\bk-tools'
steps_run "$MACHINE"
# Every DOS name was resolved through the module before the lookup gave up.
result beside
expect_exit "started elsewhere" 1 $'An exception occurred in Backup:\nMountManagerException ERROR: Could not get drive letter\n'
# Without the module beside the backup module, one planted in the program's folder (searched
# first by a load by name) is not taken.
mv "$HARBORLINE/MountManager.dll" "$C/Tools/MountManager.dll"
run_in "$MACHINE" cmd /c 'C:\Tools\backup.cmd C:\bk-planted'
mv "$C/Tools/MountManager.dll" "$HARBORLINE/MountManager.dll"
expect_exit "planted module" 1 \
    $'An exception occurred in Backup:\nMountManagerException ERROR: LoadLibrary(C:\\Program Files\\Harborline\\MountManager.dll) failed.\n'
finish
