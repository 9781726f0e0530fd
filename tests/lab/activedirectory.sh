#!/bin/bash
# The directory component in a lab domain controller of 2003, through the directory backup API
# (byte-for-byte copies, the manifest, restore mode, the registration, failures of the API and of
# the copies that leave the live files as they were, a backup inside the live folder refused). On
# 2008 the directory goes through its VSS writer: tests/lab/vss.sh. Backups that must be refused:
# tests/lab/hostile/activedirectory.bash.
source "$(dirname "$0")/lib/common.bash"

lab_machine ad-dc-2003 --os 2003 --role dc
DC=$MACHINE NTDS=$C/windows/NTDS
LABKEY='HKLM\SOFTWARE\Harborline Lab\ntdsbcli'
mkdir -p "$DC/drive_c/ad"

# knob MACHINE NAME VALUE: sets a value of the lab API's settings ("-" removes it).
knob() {
    if [ "$3" = - ]; then "$LAB/run" "$1" reg delete "$LABKEY" /v "$2" /f >/dev/null 2>&1
    elif [[ $3 == [0-9]* ]]; then "$LAB/run" "$1" reg add "$LABKEY" /v "$2" /t REG_DWORD /d "$3" /f >/dev/null
    else "$LAB/run" "$1" reg add "$LABKEY" /v "$2" /d "$3" /f >/dev/null; fi
}
# registered NAME...: "NAME=VALUE" of each value that the last restore registered, sorted by name,
# on one line.
registered() {
    "$LAB/run" "$DC" reg query "$LABKEY\\Registration" 2>/dev/null | tr -d '\r' |
        awk -v names=" $* " 'index(names, " " $1 " ") { n = $1; $1 = ""; $2 = ""; sub(/^ +/, ""); print n "=" $0 }' | sort | paste -sd' '
}
# The logs' generations are hexadecimal: edb00001.log ... edb00009.log, edb0000A.log ... edb00011.log.
LOGS=($(for generation in $(seq 1 17); do printf 'edb%05X.log ' "$generation"; done))
DB_FILES=(ntds.dit "${LOGS[@]}")

# --- 2003: backup through the API ------------------------------------------------------------
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr status
expect_contains "status in restore mode: offline" "Directory service online:          no" "$OUT"

QM_SECRET=s3cret run_in "$DC" ssbr backup 'C:\ad\full' --active-directory --domain LAB --user backup \
    --password-env QM_SECRET --truncate-logs
expect_eq "backup: exit and stderr" "0 " "$RC $ERR"
BK=$DC/drive_c/ad/full
same_files "backup" "$NTDS" "$BK" "${DB_FILES[@]}"
expect_eq "backup: only the listed files" "ActiveDirectoryBackupSet.xml ${LOGS[*]} ntds.dit" "$(ls "$BK" | grep -vx "SHA256SUMS\|backup.json" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
MANIFEST=$(cat "$BK/ActiveDirectoryBackupSet.xml")
expect_eq "manifest: files newest first" \
    "name=\"ntds.dit\" bft=\"68\" original=\"C:\\WINDOWS\\NTDS\\ntds.dit\" $(for log in $(printf '%s\n' "${LOGS[@]}" | tac); do
        printf 'name="%s" bft="33" original="C:\\WINDOWS\\NTDS\\%s" ' "$log" "$log"; done | sed 's/ $//')" \
    "$(grep -o 'name="[^"]*" bft="[^"]*" original="[^"]*"' <<<"$MANIFEST" | tr '\n' ' ' | sed 's/ $//')"
expect_contains "manifest: token size" '<expiration size="16">' "$MANIFEST"
run_in "$DC" reg query "$LABKEY"
expect_contains "credentials reach the API" 'AuthIdentity    REG_SZ    LAB\backup' "$OUT"
expect_contains "logs truncated on request" "Truncated    REG_DWORD    0x1" "$OUT"

SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr backup 'C:\ad\offline' --active-directory
expect_eq "backup while offline: exit" 1 "$RC"
expect_contains "backup while offline" $'ActiveDirectoryException ERROR: Active Directory Server is not online!' "$ERR"

knob "$DC" DsBackupRead 0xC8000226
run_in "$DC" ssbr backup 'C:\ad\readfails' --active-directory
knob "$DC" DsBackupRead -
expect_eq "read failure: exit" 1 "$RC"
expect_contains "read failure" "ActiveDirectoryException ERROR: DsBackupRead failed: Error = 0xC8000226" "$ERR"

# A token that is already out of date when it is saved.
knob "$DC" TokenLifetime 0
run_in "$DC" ssbr backup 'C:\ad\expired' --active-directory
knob "$DC" TokenLifetime -
expect_eq "backup with an expiring token: exit" 0 "$RC"

# A database past 4 GiB, sparse on the live side, is copied whole, and its zero blocks stay off
# the disk.
mv "$NTDS/ntds.dit" "$NTDS/ntds.dit.small"
big_sparse "$NTDS/ntds.dit"
run_in "$DC" ssbr backup 'C:\ad\large' --active-directory
expect_eq "large database: exit" 0 "$RC"
expect_big_copy "large database" "$NTDS/ntds.dit" "$DC/drive_c/ad/large/ntds.dit"
rm -rf "$DC/drive_c/ad/large" "$NTDS/ntds.dit"
mv "$NTDS/ntds.dit.small" "$NTDS/ntds.dit"

# --- 2003: restore ---------------------------------------------------------------------------
cp -a "$NTDS" "$DC/drive_c/ntds-before"
BEFORE=$DC/drive_c/ntds-before
# The machine moved on since the backup.
head -c 5000 /dev/urandom >"$NTDS/ntds.dit"
head -c 5000 /dev/urandom >"$NTDS/edb00002.log"

run_in "$DC" ssbr restore 'C:\ad\full' --no-verify --active-directory
expect_eq "restore outside restore mode (skipped): exit" 3 "$RC"
expect_eq "restore outside restore mode registers nothing" "" "$(registered Map)"
cmp -s "$NTDS/ntds.dit" "$BK/ntds.dit" && fail "restore outside restore mode replaced the database"

# An incomplete backup deletes nothing.
cp -a "$BK" "$DC/drive_c/ad/incomplete"
rm "$DC/drive_c/ad/incomplete/edb00002.log"
cp -a "$NTDS" "$DC/drive_c/ntds-moved"
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\ad\incomplete' --no-verify --active-directory
expect_eq "incomplete backup: exit" 1 "$RC"
expect_contains "incomplete backup: the missing file" \
    'ActiveDirectoryException ERROR: ActiveDirectoryException ERROR: CopyFile(C:\ad\incomplete\edb00002.log, C:\WINDOWS\NTDS\edb00002.log) failed.' "$ERR"
same_files "incomplete backup left the live files" "$DC/drive_c/ntds-moved" "$NTDS" "${DB_FILES[@]}"
expect_eq "incomplete backup: restore completed as failed, and ended" "Complete=0x80004005 Ended=0x1" "$(registered Complete Ended)"

# A whole backup inside the directory's own folder: refused, the live files as they were, nothing
# left beside them (a saved file held open: tests/lab/reliability/activedirectory.bash).
cp -a "$BK" "$NTDS/Backup"
LIVE_STATE=$(tree_hashes "$NTDS")
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\WINDOWS\NTDS\Backup' --no-verify --active-directory
expect_contains "backup inside the directory's folder" \
    'ActiveDirectoryException ERROR: ActiveDirectoryException ERROR: The backup folder C:\WINDOWS\NTDS\Backup lies in C:\WINDOWS\NTDS, which the restore writes' "$ERR"
expect_eq "backup inside the directory's folder: the live files and the backup unchanged" "$LIVE_STATE" "$(tree_hashes "$NTDS")"
rm -rf "$NTDS/Backup"

SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\ad\full' --no-verify --active-directory
expect_eq "restore: exit and stderr" "0 " "$RC $ERR"
same_files "restore" "$BK" "$NTDS" "${DB_FILES[@]}"
same_files "restore left the rest" "$BEFORE" "$NTDS" edb.chk edb.log res1.log res2.log
expect_eq "restore: nothing left beside the live files" "edb.chk edb.log ${LOGS[*]} ntds.dit res1.log res2.log" \
    "$(ls "$NTDS" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
# The range is read in hexadecimal: edb00011.log is generation 0x11, the newest.
expect_eq "registration" 'CheckpointDirectory=C:\WINDOWS\NTDS Complete=0x0 Ended=0x1 HighLog=0x11 LogDirectory=C:\WINDOWS\NTDS LowLog=0x1 Map=C:\WINDOWS\NTDS\ntds.dit=>C:\WINDOWS\NTDS\ntds.dit' \
    "$(registered Map LowLog HighLog LogDirectory CheckpointDirectory Complete Ended)"

# The service names a database location whose folder cannot be made: the copy fails after the
# registration, and the restore is still completed and ended before the error comes back.
knob "$DC" Directory 'Q:\NTDS'
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\ad\full' --no-verify --active-directory
knob "$DC" Directory -
expect_contains "copy failure: the first exception's full text" \
    'ActiveDirectoryException ERROR: ActiveDirectoryException ERROR: CopyFile(C:\ad\full\edb00011.log, Q:\NTDS\edb00011.log) failed.' "$ERR"
expect_eq "copy failure: restore completed as failed, and ended" "Complete=0x80004005 Ended=0x1" "$(registered Complete Ended)"

# The service cannot name its locations: the paths the backup recorded are used, so each must lie
# in one of the service's configured folders. A log recorded last elsewhere would make that folder
# the log folder, a database recorded elsewhere would be copied there.
knob "$DC" DsRestoreGetDatabaseLocationsW 0xC8000226
mkdir -p "$DC/drive_c/outside"
cp -a "$BK" "$DC/drive_c/ad/recorded-log"
cp -a "$BK" "$DC/drive_c/ad/recorded-database"
sed -i 's|</logfiles>|<file name="edb00012.log" bft="33" original="C:\\outside\\edb00012.log"/></logfiles>|' \
    "$DC/drive_c/ad/recorded-log/ActiveDirectoryBackupSet.xml"
echo planted >"$DC/drive_c/ad/recorded-log/edb00012.log"
sed -i 's|original="C:\\WINDOWS\\NTDS\\ntds.dit"|original="C:\\outside\\ntds.dit"|' \
    "$DC/drive_c/ad/recorded-database/ActiveDirectoryBackupSet.xml"
LIVE_STATE=$(tree_hashes "$NTDS")
for crafted in log:'C:\outside\edb00012.log' database:'C:\outside\ntds.dit'; do
    SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore "C:\\ad\\recorded-${crafted%%:*}" --no-verify --active-directory
    expect_eq "recorded $crafted: exit" 1 "$RC"
    expect_contains "recorded $crafted" \
        "ActiveDirectoryException ERROR: The backup in C:\\ad\\recorded-${crafted%%:*} records ${crafted#*:}, which lies in none of the directory service's folders" "$ERR"
done
expect_eq "recorded paths elsewhere: nothing written there" "" "$(ls -A "$DC/drive_c/outside")"
expect_eq "recorded paths elsewhere: the live files unchanged" "$LIVE_STATE" "$(tree_hashes "$NTDS")"
# Restored from the recorded paths; a log entry in the database list is passed over (only the log
# list's names are checked), so the live checkpoint stays.
cp -a "$BK" "$DC/drive_c/ad/recorded-extra"
sed -i 's|<dbfiles>|<dbfiles><file name="edb.chk" bft="33" original="C:\\WINDOWS\\NTDS\\edb.chk"/>|' \
    "$DC/drive_c/ad/recorded-extra/ActiveDirectoryBackupSet.xml"
echo planted >"$DC/drive_c/ad/recorded-extra/edb.chk"
cp "$NTDS/edb.chk" "$DC/drive_c/edb.chk-live"
head -c 5000 /dev/urandom >"$NTDS/ntds.dit"
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\ad\recorded-extra' --no-verify --active-directory
knob "$DC" DsRestoreGetDatabaseLocationsW -
expect_eq "recorded locations: exit" 0 "$RC"
same_files "recorded locations: restore" "$BK" "$NTDS" "${DB_FILES[@]}"
cmp -s "$DC/drive_c/edb.chk-live" "$NTDS/edb.chk" || fail "recorded locations: the live checkpoint was replaced"
expect_eq "recorded locations: registration" 'LogDirectory=C:\WINDOWS\NTDS Map=C:\WINDOWS\NTDS\ntds.dit=>C:\WINDOWS\NTDS\ntds.dit' \
    "$(registered Map LogDirectory)"

# An expired token: the API's code with the table's text (a token cut short: the unit tests).
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\ad\expired' --no-verify --active-directory
expect_contains "expired token" \
    "DsRestorePrepare failed: DS Contents in the backup copy are out of date. Try restoring with a more recent copy." "$ERR"

finish
