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

# knob NAME [DATA [TYPE]]: a step that sets a value of the lab API's settings (a DWORD unless TYPE
# says otherwise), or removes it.
knob() { if [ $# = 1 ]; then step - "reg delete \"$LABKEY\" /v $1 /f"
         else step - "reg add \"$LABKEY\" /v $1 /t ${3:-REG_DWORD} /d $2 /f"; fi; }
# registration STEP: a step that reads what the restores registered; registered STEP NAME... then
# gives "NAME=VALUE" of each value it read, sorted by name, on one line.
registration() { step "$1" "reg query \"$LABKEY\\Registration\""; }
registered() {
    result "$1"
    awk -v names=" ${*:2} " 'index(names, " " $1 " ") { n = $1; $1 = $2 = ""; sub(/^ +/, ""); print n "=" $0 }' <<<"$OUT" | sort | paste -sd' '
}
# The logs' generations are hexadecimal: edb00001.log ... edb00009.log, edb0000A.log ... edb00011.log.
LOGS=($(for generation in $(seq 1 17); do printf 'edb%05X.log ' "$generation"; done))
DB_FILES=(ntds.dit "${LOGS[@]}")

# --- 2003: backup through the API, in one session --------------------------------------------
# With credentials and truncation; while the service is offline (in restore mode); with a read of
# the API failing; and with a token that is already out of date when it is saved.
step - 'set SAFEBOOT_OPTION=DSREPAIR'
step status-offline 'ssbr status'
step backup-offline 'ssbr backup C:\ad\offline --active-directory'
step - 'set SAFEBOOT_OPTION=& set QM_SECRET=s3cret'
step backup 'ssbr backup C:\ad\full --active-directory --domain LAB --user backup --password-env QM_SECRET --truncate-logs'
step api "reg query \"$LABKEY\""
knob DsBackupRead 0xC8000226
step backup-read 'ssbr backup C:\ad\readfails --active-directory'
knob DsBackupRead
knob TokenLifetime 0
step backup-expiring 'ssbr backup C:\ad\expired --active-directory'
knob TokenLifetime
steps_run "$DC"
result status-offline
expect_contains "status in restore mode: offline" "Directory service online:          no" "$OUT"
result backup
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
result api
expect_contains "credentials reach the API" 'AuthIdentity    REG_SZ    LAB\backup' "$OUT"
expect_contains "logs truncated on request" "Truncated    REG_DWORD    0x1" "$OUT"
result backup-offline
expect_exit "backup while offline" 1 $'ActiveDirectoryException ERROR: Active Directory Server is not online!'
result backup-read
expect_exit "read failure" 1 "ActiveDirectoryException ERROR: DsBackupRead failed: Error = 0xC8000226"
result backup-expiring
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
# The machine moved on since the backup. Then, in one session: a restore outside restore mode
# (skipped), one of a backup that lacks a log (deletes nothing) and one of a whole backup inside
# the directory's own folder (refused; a saved file held open: tests/lab/reliability).
cp -a "$NTDS" "$DC/drive_c/ntds-before"
BEFORE=$DC/drive_c/ntds-before
head -c 5000 /dev/urandom >"$NTDS/ntds.dit"
head -c 5000 /dev/urandom >"$NTDS/edb00002.log"
cp -a "$NTDS" "$DC/drive_c/ntds-moved"
cp -a "$BK" "$DC/drive_c/ad/incomplete"
rm "$DC/drive_c/ad/incomplete/edb00002.log"
cp -a "$BK" "$NTDS/Backup"
LIVE_STATE=$(tree_hashes "$NTDS")
step outside-mode 'ssbr restore C:\ad\full --no-verify --active-directory'
registration registered-outside
step - 'set SAFEBOOT_OPTION=DSREPAIR'
step incomplete 'ssbr restore C:\ad\incomplete --no-verify --active-directory'
registration registered-incomplete
step inside 'ssbr restore C:\WINDOWS\NTDS\Backup --no-verify --active-directory'
steps_run "$DC"
result outside-mode
expect_eq "restore outside restore mode (skipped): exit" 3 "$RC"
expect_eq "restore outside restore mode registers nothing" "" "$(registered registered-outside Map)"
result incomplete
expect_exit "incomplete backup" 1 \
    'ActiveDirectoryException ERROR: ActiveDirectoryException ERROR: CopyFile(C:\ad\incomplete\edb00002.log, C:\WINDOWS\NTDS\edb00002.log) failed.'
expect_eq "incomplete backup: restore completed as failed, and ended" "Complete=0x80004005 Ended=0x1" \
    "$(registered registered-incomplete Complete Ended)"
result inside
expect_contains "backup inside the directory's folder" \
    'ActiveDirectoryException ERROR: ActiveDirectoryException ERROR: The backup folder C:\WINDOWS\NTDS\Backup lies in C:\WINDOWS\NTDS, which the restore writes' "$ERR"
expect_eq "these restores: the live files (and the backup inside) unchanged" "$LIVE_STATE" "$(tree_hashes "$NTDS")"
rm -rf "$NTDS/Backup"

# The restore; then the service names a database location whose folder cannot be made: the copy
# fails after the registration, and the restore is still completed and ended before the error
# comes back.
step - 'set SAFEBOOT_OPTION=DSREPAIR'
step restore 'ssbr restore C:\ad\full --no-verify --active-directory'
registration registered
knob Directory 'Q:\NTDS' REG_SZ
step copy-failure 'ssbr restore C:\ad\full --no-verify --active-directory'
knob Directory
registration registered-copy-failure
steps_run "$DC"
result restore
expect_eq "restore: exit and stderr" "0 " "$RC $ERR"
same_files "restore" "$BK" "$NTDS" "${DB_FILES[@]}"
same_files "restore left the rest" "$BEFORE" "$NTDS" edb.chk edb.log res1.log res2.log
expect_eq "restore: nothing left beside the live files" "edb.chk edb.log ${LOGS[*]} ntds.dit res1.log res2.log" \
    "$(ls "$NTDS" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')"
# The range is read in hexadecimal: edb00011.log is generation 0x11, the newest.
expect_eq "registration" 'CheckpointDirectory=C:\WINDOWS\NTDS Complete=0x0 Ended=0x1 HighLog=0x11 LogDirectory=C:\WINDOWS\NTDS LowLog=0x1 Map=C:\WINDOWS\NTDS\ntds.dit=>C:\WINDOWS\NTDS\ntds.dit' \
    "$(registered registered Map LowLog HighLog LogDirectory CheckpointDirectory Complete Ended)"
result copy-failure
expect_contains "copy failure: the first exception's full text" \
    'ActiveDirectoryException ERROR: ActiveDirectoryException ERROR: CopyFile(C:\ad\full\edb00011.log, Q:\NTDS\edb00011.log) failed.' "$ERR"
expect_eq "copy failure: restore completed as failed, and ended" "Complete=0x80004005 Ended=0x1" \
    "$(registered registered-copy-failure Complete Ended)"

# The service cannot name its locations: the paths the backup recorded are used, so each must lie
# in one of the service's configured folders. A log recorded last elsewhere would make that folder
# the log folder, a database recorded elsewhere would be copied there.
mkdir -p "$DC/drive_c/outside"
for crafted in log database extra; do cp -a "$BK" "$DC/drive_c/ad/recorded-$crafted"; done
sed -i 's|</logfiles>|<file name="edb00012.log" bft="33" original="C:\\outside\\edb00012.log"/></logfiles>|' \
    "$DC/drive_c/ad/recorded-log/ActiveDirectoryBackupSet.xml"
echo planted >"$DC/drive_c/ad/recorded-log/edb00012.log"
sed -i 's|original="C:\\WINDOWS\\NTDS\\ntds.dit"|original="C:\\outside\\ntds.dit"|' \
    "$DC/drive_c/ad/recorded-database/ActiveDirectoryBackupSet.xml"
# Restored from the recorded paths; a log entry in the database list is passed over (only the log
# list's names are checked), so the live checkpoint stays.
sed -i 's|<dbfiles>|<dbfiles><file name="edb.chk" bft="33" original="C:\\WINDOWS\\NTDS\\edb.chk"/>|' \
    "$DC/drive_c/ad/recorded-extra/ActiveDirectoryBackupSet.xml"
echo planted >"$DC/drive_c/ad/recorded-extra/edb.chk"
LIVE_STATE=$(tree_hashes "$NTDS")
step - 'set SAFEBOOT_OPTION=DSREPAIR'
knob DsRestoreGetDatabaseLocationsW 0xC8000226
for crafted in log database; do step "recorded-$crafted" "ssbr restore C:\\ad\\recorded-$crafted --no-verify --active-directory"; done
steps_run "$DC"
for crafted in log:'C:\outside\edb00012.log' database:'C:\outside\ntds.dit'; do
    result "recorded-${crafted%%:*}"
    expect_exit "recorded $crafted" 1 \
        "ActiveDirectoryException ERROR: The backup in C:\\ad\\recorded-${crafted%%:*} records ${crafted#*:}, which lies in none of the directory service's folders"
done
expect_eq "recorded paths elsewhere: nothing written there" "" "$(ls -A "$DC/drive_c/outside")"
expect_eq "recorded paths elsewhere: the live files unchanged" "$LIVE_STATE" "$(tree_hashes "$NTDS")"
cp "$NTDS/edb.chk" "$DC/drive_c/edb.chk-live"
head -c 5000 /dev/urandom >"$NTDS/ntds.dit"
# Then an expired token: the API's code with the table's text (a token cut short: the unit tests).
step - 'set SAFEBOOT_OPTION=DSREPAIR'
step recorded-extra 'ssbr restore C:\ad\recorded-extra --no-verify --active-directory'
knob DsRestoreGetDatabaseLocationsW
registration registered-recorded
step expired 'ssbr restore C:\ad\expired --no-verify --active-directory'
steps_run "$DC"
result recorded-extra
expect_eq "recorded locations: exit" 0 "$RC"
same_files "recorded locations: restore" "$BK" "$NTDS" "${DB_FILES[@]}"
cmp -s "$DC/drive_c/edb.chk-live" "$NTDS/edb.chk" || fail "recorded locations: the live checkpoint was replaced"
expect_eq "recorded locations: registration" 'LogDirectory=C:\WINDOWS\NTDS Map=C:\WINDOWS\NTDS\ntds.dit=>C:\WINDOWS\NTDS\ntds.dit' \
    "$(registered registered-recorded Map LogDirectory)"
result expired
expect_contains "expired token" \
    "DsRestorePrepare failed: DS Contents in the backup copy are out of date. Try restoring with a more recent copy." "$ERR"

finish
