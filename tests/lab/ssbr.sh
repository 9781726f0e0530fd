#!/bin/bash
# ssbr.exe in lab machines: what reaches the module and what never does (usage, an unset password
# variable, a volume root), the one-line summary and the skips, the status report with the
# machine's roles and version, and the caller's environment reaching the module (restore mode).
# The roles' own status lines are the component scripts'; usage texts are SsbrCommandLine's.
source "$(dirname "$0")/lib/common.bash"

provision ssbr-2003 --os 2003
provision ssbr-dc-2008 --os 2008 --role dc
SERVER=$MACHINES/ssbr-2003 DC=$MACHINES/ssbr-dc-2008

# Provisioning replaces only a lab machine or an empty folder.
mkdir -p "$MACHINES/not-a-machine"
echo mine >"$MACHINES/not-a-machine/keep.txt"
"$LAB/provision" "$MACHINES/not-a-machine" >/dev/null 2>&1
expect_eq "provision over a foreign folder: exit" 2 "$?"
[ -f "$MACHINES/not-a-machine/keep.txt" ] || fail "provision removed a folder that was not a lab machine"
rm -rf "$MACHINES/not-a-machine"

machines_ready

# --- refused before the module is asked ----------------------------------------------------------
run_in "$SERVER" ssbr backup 'C:\ssbr\none'
expect_eq "backup without components: exit" 2 "$RC"
expect_contains "backup without components: the usage" "COMPONENTS: --all, or any of" "$ERR"
[ -e "$SERVER/drive_c/ssbr/none" ] && fail "a refused backup created its target"
run_in "$SERVER" ssbr backup 'C:\ssbr\none' --all --password-env QM_NO_SUCH_VARIABLE
expect_eq "unset password variable" \
    "2 ssbr: the environment variable QM_NO_SUCH_VARIABLE (named by --password-env) is not set" "$RC $ERR"
# A volume root is never a backup target: the backup would empty the whole drive first.
mkdir -p "$SERVER/drive_c/ssbr" && touch "$SERVER/drive_c/ssbr/keep-me.txt"
run_in "$SERVER" ssbr backup 'C:\' --registry
expect_eq "backup into a drive root: exit" 2 "$RC"
expect_contains "backup into a drive root: reason" "root of a volume or share" "$ERR"
[ -e "$SERVER/drive_c/ssbr/keep-me.txt" ] || fail "a backup into C:\ touched the drive"
run_in "$SERVER" ssbr restore 'C:\ssbr\never-made' --sysvol --active-directory
expect_eq "restore from nothing" "1 ssbr: no backup directory C:\\ssbr\\never-made" "$RC $ERR"
[ -e "$SERVER/drive_c/ssbr/never-made" ] && fail "restore created its source directory"

# --- backup: skips and the summary ---------------------------------------------------------------
QM_SECRET=not-on-the-command-line run_in "$SERVER" ssbr backup 'C:\ssbr\target' --cluster --active-directory \
    --domain LAB --user backup --password-env QM_SECRET --truncate-logs
expect_eq "gated-out backup: exit and stderr" "3 " "$RC $ERR"
expect_eq "gated-out backup: outcomes" "  Active Directory:      skipped: this machine is not a domain controller
  cluster database:      skipped: this machine is not a cluster node" "$(head -n 2 <<<"$OUT")"
[[ $(tail -n 1 <<<"$OUT") =~ ^Backup\ of\ no\ component\ to\ C:\\ssbr\\target\ completed\ in\ [0-9]+\.[0-9]{2}\ s$ ]] ||
    fail "summary line: got [$OUT]"
[ -d "$SERVER/drive_c/ssbr/target" ] || fail "target directory missing after backup"

# A relative target is the one below the current directory, also when it exists already.
pushd "$SERVER/drive_c/ssbr" >/dev/null
run_in "$SERVER" ssbr backup relative --cluster
run_in "$SERVER" ssbr backup relative --cluster
popd >/dev/null
expect_eq "relative target, second backup: exit" 3 "$RC"
expect_contains "relative target: summary" "to C:\ssbr\relative completed" "$OUT"
[ -d "$SERVER/drive_c/ssbr/relative" ] || fail "relative target not created below the current directory"

# --all on a member server: what the machine has is done, what it lacks is skipped without exit 3.
run_in "$SERVER" ssbr backup 'C:\ssbr\target' --all
expect_eq "--all: exit" 0 "$RC"
expect_contains "--all: what the machine has" "registry:              done" "$OUT"
expect_contains "--all: what it lacks" "cluster database:      skipped: this machine is not a cluster node" "$OUT"

# --- status ----------------------------------------------------------------------------------
run_in "$SERVER" ssbr status
expect_eq "status: exit" 0 "$RC"
# The roles' values are status --json's in ssbr_catalog.sh; here what only the text says.
for line in "Directory services restore mode:   no" "Directory service online:          unknown" \
    "Windows version:                   5.2 (server)"; do
    expect_contains "status" "$line" "$OUT"
done
SAFEBOOT_OPTION=DSREPAIR run_in "$SERVER" ssbr status
expect_contains "status in restore mode" "Directory services restore mode:   yes" "$OUT"
run_in "$DC" ssbr status
expect_contains "dc: version" "Windows version:                   6.0 (server)" "$OUT"
# Without a version of its own the machine answers as Wine does by default, as a workstation
# (what lab/provision --os win7 makes).
run_in "$SERVER" cmd /c 'reg delete HKCU\Software\Wine /v Version /f >nul & ssbr status'
expect_contains "workstation: version" "Windows version:                   6.1 (workstation)" "$OUT"

# --- the directory on a domain controller ------------------------------------------------------
# The writer path leaves only its "ntds" folder and the catalog: an earlier backup to replace.
mkdir -p "$DC/drive_c/ssbr"
run_in "$DC" ssbr backup 'C:\ssbr\dc' --active-directory
run_in "$DC" ssbr backup 'C:\ssbr\dc' --active-directory
expect_eq "dc: directory backup over an earlier one: exit and stderr" "0 " "$RC $ERR"
[ -f "$DC/drive_c/ssbr/dc/ntds/C/windows/NTDS/ntds.dit" ] || fail "dc: the second directory backup wrote nothing"

# Restoring all that a backup holds outside restore mode: the directory is skipped, and that is
# no success.
run_in "$DC" ssbr restore 'C:\ssbr\dc' --all
expect_eq "dc: restore --all outside restore mode: exit" 3 "$RC"
expect_contains "dc: restore --all outside restore mode" \
    "Active Directory:      skipped: the machine was not started in directory services restore mode" "$OUT"
expect_contains "dc: restore --all outside restore mode: summary" "Restore of no component from C:\ssbr\dc" "$OUT"

# The stand-in is preferred only by the programs installed with the module.
run_in "$DC" reg query 'HKCU\Software\Wine\DllOverrides' /v netapi32
[ "$RC" -eq 0 ] && fail "dc: netapi32 is overridden for every program"
run_in "$DC" reg query 'HKCU\Software\Wine\AppDefaults\ssbr.exe\DllOverrides' /v netapi32
expect_contains "dc: ssbr prefers the stand-in" "native,builtin" "$OUT"

finish
