#!/bin/bash
# The platform libraries that the module loads when it needs them (certadm, ntdsbcli, sfc, clusapi,
# netapi32) come from the system folder by full path, never through the search path: with a
# planted library of each name in the program's own folder (searched first for a bare name), a
# backup of every component on a server of every role loads none of them and succeeds.
source "$(dirname "$0")/lib/common.bash"

provision libraries --os 2003 --role ca --role cluster --role dc
MACHINE=$MACHINES/libraries
machines_ready
C=$MACHINE/drive_c
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
# The protected files came from the lab's list, which only the system folder's sfc.dll gives.
[ -f "$C/bk/SPF/c/windows/system32/qmprot32.dll" ] || fail "the protected files were not listed"

for name in $PLANTED; do rm -f "$HARBORLINE/$name"; done
finish
