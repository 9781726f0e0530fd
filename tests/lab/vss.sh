#!/bin/bash
# The VSS requestor (src/vss: QmVss.dll, which the module links, and x64\dozeZuz.exe) on a lab
# domain controller of 2008, against the lab's VSS (lab/vssapi) and its directory writer: the
# directory goes out through a shadow copy and comes back through the writer, in the platform's
# order; every failing step reaches the caller with its code's name and our sentence and leaves
# no shadow copy, no changed live file and, on backup, no database in the target.
source "$(dirname "$0")/lib/common.bash"

lab_machine vss-dc-2008 --os 2008 --role dc
DC=$MACHINE
NTDS=$C/windows/NTDS
LOG=$C/HarborlineLab/vssapi.log
SNAPSHOTS=$C/HarborlineLab/snapshots
KEY='HKLM\SOFTWARE\Harborline Lab\vssapi'
WRITER='{b2014c9e-8711-4c5c-a5a9-3cf384484757}'
WRITER_NAME='NTDS ({B2014C9E-8711-4C5C-A5A9-3CF384484757})'
TOOL='C:\Program Files\Harborline\x64\dozeZuz.exe'
DB_FILES=(ntds.dit edb.chk edb.log $(cd "$NTDS" && ls edb?????.log) res1.log res2.log)
SAVED=ntds/C/windows/NTDS
UNEXPECTED='VSS_E_UNEXPECTED (0x80042302): The VSS service met an error it did not expect; the Application event log of this server names the service or writer behind it.'
RETRYABLE='VSS_E_WRITERERROR_RETRYABLE (0x800423F3): The writer failed with an error that may pass; run the operation again.'
mkdir -p "$C/vss"

# calls: the logged calls without the writer-status round after each step, joined by "|".
calls() {
    tr -d '\r' <"$LOG" 2>/dev/null | awk '{ print $1 }' |
        grep -vx 'GatherWriterStatus\|GetWriterStatusCount\|GetWriterStatus\|FreeWriterStatus\|GetWriterMetadataCount\|GetWriterMetadata\|FreeWriterMetadata' |
        paste -sd'|'
}
no_snapshot_left() {
    [ -z "$(ls -A "$SNAPSHOTS" 2>/dev/null)" ] || fail "$1: a shadow copy is left: $(ls "$SNAPSHOTS")"
}

# The directory backup API would fail: the writer path never asks it.
"$LAB/run" "$DC" reg add 'HKLM\SOFTWARE\Harborline Lab\ntdsbcli' /v DsIsNTDSOnlineW /t REG_DWORD /d 0xC7FF0007 /f >/dev/null
run_in "$DC" ssbr status
expect_contains "status: online without the backup API" "Directory service online:          yes" "$OUT"

# --- backup through ssbr and the library, the writer changing its database after the snapshot --
cp -a "$NTDS" "$C/ntds-at-snapshot"
"$LAB/run" "$DC" reg add "$KEY" /v ChangeAfterSnapshot /t REG_DWORD /d 1 /f >/dev/null
rm -f "$LOG"
run_in "$DC" ssbr backup 'C:\vss\full' --active-directory
expect_eq "backup: exit and stderr" "0 " "$RC $ERR"
same_files "backup: the files as they were at the snapshot" "$C/ntds-at-snapshot" "$C/vss/full/$SAVED" "${DB_FILES[@]}"
cmp -s "$C/ntds-at-snapshot/ntds.dit" "$NTDS/ntds.dit" && fail "backup: the writer did not change its database"
expect_eq "backup: the live database changed after the snapshot" "changed after the snapshot" "$(tail -c 26 "$NTDS/ntds.dit")"
expect_eq "backup: what the folder holds" \
    "$(printf '%s\n' BackupComponents.xml WriterMetadata.xml "${DB_FILES[@]/#/C/windows/NTDS/}" | sort | tr '\n' ' ' | sed 's/ $//')" \
    "$(cd "$C/vss/full/ntds" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ' | sed 's/ $//')"
expect_contains "backup: the components document" 'backupSucceeded="yes"' "$(cat "$C/vss/full/ntds/BackupComponents.xml")"
expect_contains "backup: the writer's metadata" 'friendlyName="NTDS"' "$(cat "$C/vss/full/ntds/WriterMetadata.xml")"
expect_eq "backup: the calls" \
    "CreateVssBackupComponents|InitializeForBackup|SetBackupState|GatherWriterMetadata|AddComponent|StartSnapshotSet|AddToSnapshotSet|PrepareForBackup|DoSnapshotSet|GetSnapshotProperties|SetBackupSucceeded|BackupComplete|SaveAsXML|Release" \
    "$(calls)"
expect_contains "backup: components selected, bootable system state, full" "SetBackupState components=1 bootable=1 type=1" "$(cat "$LOG")"
expect_contains "backup: the writer's status after each step" "GetWriterStatus NTDS state=5" "$(cat "$LOG")"
no_snapshot_left "backup"
"$LAB/run" "$DC" reg delete "$KEY" /v ChangeAfterSnapshot /f >/dev/null

# The live files move on since the backup (outside restore mode ssbr skips the directory, for
# both paths alike: tests/lab/activedirectory.sh).
head -c 70000 /dev/urandom >"$NTDS/ntds.dit"
head -c 3000 /dev/urandom >"$NTDS/edb00002.log"
cp -a "$NTDS" "$C/ntds-damaged"
rm -f "$LOG"

# --- failures, each in turn through ssbr, some also through the tool (one batch in the machine) ---
# case_ NAME VERB EXPECTED KNOBS...: one case, VERB backup or restore, with the lab's knobs
# (lines of a .reg file: "FailAt"="DoSnapshotSet"); EXPECTED is the text both must give. The tool
# shares the requestor with ssbr: it takes the cases named in TOOL_CASES.
TOOL_CASES=" backup-fail-DoSnapshotSet writer-access-denied restore-fail-PreRestore restore-at-reboot "
OUTDIR=$C/vss/out
mkdir -p "$OUTDIR"
CASES=()
declare -A EXPECTED VERB
step - 'set SAFEBOOT_OPTION=DSREPAIR'
case_() {
    local name=$1 verb=$2 knob side sides=ssbr
    CASES+=("$name") VERB[$name]=$verb EXPECTED[$name]=$3
    {
        printf 'REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\%s]\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n' "${KEY#HKLM\\}" "${KEY#HKLM\\}"
        for knob in "${@:4}"; do printf '%s\r\n' "$knob"; done
    } >"$OUTDIR/$name.reg"
    local switch=/writerrestore folder='C:\vss\full' ssbr="ssbr restore C:\\vss\\full --no-verify"
    if [ "$verb" = backup ]; then
        mkdir -p "$C/vss/tool-$name"
        switch=/writer folder="C:\\vss\\tool-$name" ssbr="ssbr backup C:\\vss\\ssbr-$name"
    fi
    [[ $TOOL_CASES != *" $name "* ]] || sides="ssbr tool"
    step - "reg import C:\\vss\\out\\$name.reg >nul 2>nul"
    for side in $sides; do
        if [ $side = ssbr ]; then step "$name.ssbr" "$ssbr --active-directory"
        else step "$name.tool" "\"$TOOL\" $switch $WRITER ntds \"$folder\""; fi
        step "$name.$side.snap" 'dir /b C:\HarborlineLab\snapshots'
        step - "move /y C:\\HarborlineLab\\vssapi.log C:\\vss\\out\\$name.$side.log >nul 2>nul"
    done
}
# Each call failing, and the writer failing after each step that it takes part in.
for call in backup:{InitializeForBackup,SetBackupState,GatherWriterMetadata,AddComponent,StartSnapshotSet,PrepareForBackup} \
    backup:{DoSnapshotSet,SetBackupSucceeded,BackupComplete,SaveAsXML,GatherWriterStatus,AddToSnapshotSet,GetSnapshotProperties} \
    restore:{InitializeForRestore,GatherWriterMetadata,SetSelectedForRestore,PreRestore,SetFileRestoreStatus,PostRestore}; do
    volume=; case $call in *:AddToSnapshotSet | *:GetSnapshotProperties) volume='(C:\)' ;; esac
    case_ "${call%:*}-fail-${call#*:}" "${call%:*}" "${call#*:}$volume failed: $UNEXPECTED" "\"FailAt\"=\"${call#*:}\""
done
for row in backup:GatherWriterMetadata:IDENTIFY backup:PrepareForBackup:PREPARE_BACKUP backup:DoSnapshotSet:FREEZE \
    backup:BackupComplete:BACKUP_COMPLETE restore:GatherWriterMetadata:IDENTIFY restore:PreRestore:PRE_RESTORE \
    restore:PostRestore:POST_RESTORE; do
    IFS=: read -r verb call state <<<"$row"
    case_ "$verb-writer-$call" "$verb" "After $call the writer $WRITER_NAME is in the state VSS_WS_FAILED_AT_$state: $RETRYABLE" \
        "\"WriterFailsAt\"=\"$call\""
done
# A writer refused when it calls back, and restore methods the requestor does not carry out.
case_ writer-access-denied backup \
    "After PrepareForBackup the writer $WRITER_NAME is in the state VSS_WS_FAILED_AT_PREPARE_BACKUP: it was refused access when it called back into this process (E_ACCESSDENIED)" \
    '"WriterFailsAt"="PrepareForBackup"' '"WriterFailure"=dword:80070005'
case_ restore-at-reboot restore \
    "The writer $WRITER_NAME asks to be restored by VSS_RME_RESTORE_AT_REBOOT, which this requestor cannot carry out" \
    '"RestoreMethod"=dword:00000005'
case_ restore-if-not-there restore \
    "The writer $WRITER_NAME restores only files that are missing (VSS_RME_RESTORE_IF_NOT_THERE), and C:\\windows\\NTDS\\res" \
    '"RestoreMethod"=dword:00000001'
case_ restore-no-alternate restore \
    "The writer $WRITER_NAME restores only to alternate locations (VSS_RME_RESTORE_TO_ALTERNATE_LOCATION) and names none for C:\\windows\\NTDS\\res" \
    '"RestoreMethod"=dword:00000004'
step - "reg delete \"$KEY\" /f >nul 2>nul"

cp -a "$C/vss/full" "$C/vss/full-before"
steps_run "$DC"
for name in "${CASES[@]}"; do
    for side in ssbr tool; do
        [ $side = ssbr ] || [[ $TOOL_CASES == *" $name "* ]] || continue
        what="$name ($side)"
        result "$name.$side"
        expect_exit "$what" 1 "${EXPECTED[$name]}"
        [ $side = ssbr ] || expect_eq "$name (tool): one line, its name first" "1 dozeZuz: " "$(grep -c . <<<"$ERR") ${ERR:0:9}"
        [ $side = ssbr ] || [ "$name" != writer-access-denied ] || expect_contains "access denied: what to do" "(CoInitializeSecurity)" "$ERR"
        result "$name.$side.snap"
        expect_eq "$what: shadow copies left" "" "$OUT"
        log=$(tr -d '\r' <"$OUTDIR/$name.$side.log" 2>/dev/null)
        case $log in *AddToSnapshotSet*) expect_contains "$what: the backup aborted" AbortBackup "$log" ;; esac
    done
    if [ "${VERB[$name]}" = backup ]; then
        [ -z "$(find "$C/vss/ssbr-$name" "$C/vss/tool-$name" -name ntds.dit 2>/dev/null)" ] ||
            fail "$name: a database is in the target"
    fi
done
same_files "failures changed no live file" "$C/ntds-damaged" "$NTDS" "${DB_FILES[@]}"
[ -z "$(find "$NTDS" -name '*.vss*')" ] || fail "failures left files beside the live ones: $(ls "$NTDS")"
diff -r "$C/vss/full-before" "$C/vss/full" >/dev/null || fail "failed restores changed the backup folder"
expect_eq "refused restore method: asked before anything was restored" \
    "CreateVssBackupComponents|InitializeForRestore|GatherWriterMetadata|Release" \
    "$(LOG=$OUTDIR/restore-at-reboot.ssbr.log calls)"

# --- restore in restore mode, through ssbr and the library --------------------------------------
rm -f "$LOG"
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\vss\full' --no-verify --active-directory
expect_eq "restore: exit and stderr" "0 " "$RC $ERR"
same_files "restore: the files of the backup" "$C/ntds-at-snapshot" "$NTDS" "${DB_FILES[@]}"
expect_eq "restore: the calls" \
    "CreateVssBackupComponents|InitializeForRestore|GatherWriterMetadata|SetSelectedForRestore|PreRestore|SetFileRestoreStatus|PostRestore|Release" \
    "$(calls)"
expect_contains "restore: every file restored" "SetFileRestoreStatus ntds status=2" "$(cat "$LOG")"
[ -z "$(find "$NTDS" -name '*.vss*')" ] || fail "restore left files beside the live ones: $(ls "$NTDS")"

# --- the tool by hand ----------------------------------------------------------------------------
mkdir -p "$C/vss/by hand"
run_in "$DC" "$TOOL" /writer "$WRITER" ntds 'C:\vss\by hand'
expect_eq "tool backup: exit and stderr" "0 " "$RC $ERR"
same_files "tool backup" "$NTDS" "$C/vss/by hand/$SAVED" "${DB_FILES[@]}"
head -c 5000 /dev/urandom >"$NTDS/edb.chk"
# A folder with a trailing backslash reaches the tool as backslash-quote.
run_in "$DC" "$TOOL" /writerrestore "$WRITER" ntds 'C:\vss\by hand"'
expect_eq "tool restore: exit" 0 "$RC"
same_files "tool restore" "$C/vss/by hand/$SAVED" "$NTDS" "${DB_FILES[@]}"
no_snapshot_left "tool"

rm -f "$LOG"
mkdir -p "$C/vss/empty"
run_in "$DC" "$TOOL" /writerrestore "$WRITER" ntds 'C:\vss\empty'
expect_eq "no backup: exit" 1 "$RC"
expect_eq "no backup: the text" 'dozeZuz: No Active Directory backup in C:\vss\empty' "$ERR"
[ -e "$LOG" ] && fail "no backup: VSS was asked: $(calls)"
run_in "$DC" "$TOOL" /writer '{11111111-2222-3333-4444-555555555555}' ntds 'C:\vss\empty'
expect_eq "unknown writer" 'dozeZuz: The writer {11111111-2222-3333-4444-555555555555} is not registered with VSS on this server (writers that answered: 1); its service may not be running' "$ERR"
run_in "$DC" "$TOOL" /writer "$WRITER" sysvol 'C:\vss\empty'
expect_eq "unknown component" "dozeZuz: The writer $WRITER_NAME has no component sysvol" "$ERR"
expect_eq "unknown component: nothing in the folder" "" "$(ls -A "$C/vss/empty")"
run_in "$DC" "$TOOL" /backup "$WRITER" ntds 'C:\vss\empty'
expect_eq "usage: exit" 2 "$RC"
expect_eq "usage: one line" 1 "$(grep -c . <<<"$ERR")"

# The writer maps its database elsewhere: the restore puts it there and leaves the live one.
"$LAB/run" "$DC" reg add "$KEY" /v AlternateLocation /d 'C:\vss\alternate' /f >/dev/null
cp "$NTDS/ntds.dit" "$C/ntds.dit-live"
head -c 5000 /dev/urandom >"$NTDS/edb.log"
run_in "$DC" "$TOOL" /writerrestore "$WRITER" ntds 'C:\vss\full'
expect_eq "alternate location: exit" 0 "$RC"
cmp -s "$C/vss/full/$SAVED/ntds.dit" "$C/vss/alternate/ntds.dit" || fail "alternate location: the database is not there"
cmp -s "$C/ntds.dit-live" "$NTDS/ntds.dit" || fail "alternate location: the live database was replaced"
cmp -s "$C/vss/full/$SAVED/edb.log" "$NTDS/edb.log" || fail "alternate location: the logs were not restored in place"

finish
