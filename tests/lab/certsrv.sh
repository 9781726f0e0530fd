#!/bin/bash
# Certificate Services through ssbr in a lab certification authority (also a domain controller):
# the backup's layout, manifest and files, reads of at most 512 KiB, a database above 4 GiB,
# failures of the library, of the manifest and inside the backup's worker (logs truncated only
# after a whole backup), a library without every entry point; the restore stopping CertSvc for
# real, replacing the authority's files and removing the others, registering the log range,
# stopping w3svc only while it runs, refusing a backup inside the authority's folder before
# anything is stopped or deleted, and a w3svc that ignores the stop, which leaves every live file
# as it was and CertSvc running again.
source "$(dirname "$0")/lib/common.bash"

lab_machine certsrv --os 2003 --role dc --role ca
CERTLOG=$C/windows/system32/CertLog
ENROLL=$C/windows/system32/CertSrv/CertEnroll
SYSTEM32=$C/windows/system32
KEY='HKLM\Software\QmLab\CertAdm'
CALLS=$C/calls.log

# services: "CertSvc=STATE w3svc=STATE" (a service that is not installed shows no state).
services() {
    run_in "$MACHINE" cmd /c 'sc query CertSvc & sc query w3svc'
    service_states "$OUT" | xargs
}

# reads NAME: the read calls made for the file NAME in the call log.
reads() {
    awk -v name="$1" '$1 == "CertSrvBackupOpenFileW" { n = split($2, p, "\\"); current = p[n] }
                      $1 == "CertSrvBackupRead" && current == name { count++ }
                      $1 == "CertSrvBackupClose" { current = "" }
                      END { print count + 0 }' "$CALLS"
}

run_in "$MACHINE" cmd /c "reg add $KEY /v CallLog /d C:\\calls.log /f >nul & ssbr status"
HOST=$(sed -n 's/^Certificate Services installed: *yes (on \(.*\))$/\1/p' <<<"$OUT")
[ -n "$HOST" ] || fail "status: Certificate Services installed: $OUT"
expect_contains "status: both roles" "Domain controller:                 yes" "$OUT"
LIVE="\\\\$HOST\\C\$\\windows\\system32"

# --- backup: layout, manifest newest first, files byte for byte, one read per 512 KiB ----------
head -c 524288 /dev/urandom >"$CERTLOG/LabCA.edb"
head -c 524289 /dev/urandom >"$CERTLOG/edb0000A.log"
rm -f "$CALLS"
run_in "$MACHINE" ssbr backup 'C:\bk' --certificate-services
expect_eq "backup: exit" 0 "$RC"
expect_contains "backup: summary" 'Backup of Certificate Services to C:\bk completed' "$OUT"
expect_contains "backup: location lines" "226 bytes for DB locations
44: $LIVE\\CertLog\\LabCA.edb
83: $LIVE\\CertLog
82: $LIVE\\CertLog
90 bytes for DB file names
44: $LIVE\\CertLog\\LabCA.edb" "$OUT"
SAVED=$C/bk/CertSrv/$HOST/C\$/windows/system32
FILES=(CertLog/{LabCA.edb,edb00009.log,edb0000A.log,edb0000B.log} CertSrv/CertEnroll/{LabCA.crl,"${HOST}_LabCA.crt"})
expect_eq "backup: saved files" "$(printf '%s\n' "${FILES[@]}" | sort)" \
    "$(cd "$C/bk/CertSrv" && find . -type f | sed "s|^./$HOST/C\\\$/windows/system32/||" | sort)"
same_files "backup" "$SYSTEM32" "$SAVED" "${FILES[@]}"
# The library's order, from the progress lines, reversed.
listed_logs=$(grep '^21: ' <<<"$OUT" | cut -c5- | tac)
expect_eq "manifest: logs newest first" "$listed_logs" \
    "$(sed 's/.*<backuplogs>//; s/<\/backuplogs>.*//; s/<file>//g; s/<\/file>/\n/g' "$C/bk/CertificateServicesBackupSet.xml" | grep .)"
expect_contains "manifest: locations" "<database>$LIVE\\CertLog\\LabCA.edb</database><checkpointdir>$LIVE\\CertLog</checkpointdir><logdir>$LIVE\\CertLog</logdir>" \
    "$(cat "$C/bk/CertificateServicesBackupSet.xml")"
expect_eq "reads of a 524,288-byte file" 1 "$(reads LabCA.edb)"
expect_eq "reads of a 524,289-byte file" 2 "$(reads edb0000A.log)"
expect_eq "read sizes asked" "524288" "$(awk '$1 == "CertSrvBackupRead" { print $2 }' "$CALLS" | sort -u)"
expect_eq "no truncation unless asked" "" "$(grep TruncateLogs "$CALLS")"
expect_eq "backup ended" 1 "$(grep -c '^CertSrvBackupEnd$' "$CALLS")"

# --- a sparse database above 4 GiB is copied whole, its zero blocks left off the disk ----------
cp "$CERTLOG/LabCA.edb" "$C/LabCA.edb.keep"
big_sparse "$CERTLOG/LabCA.edb"
run_in "$MACHINE" ssbr backup 'C:\bk-big' --certificate-services --truncate-logs
expect_eq "big database: exit" 0 "$RC"
expect_big_copy "big database" "$CERTLOG/LabCA.edb" "$C/bk-big/CertSrv/$HOST/C\$/windows/system32/CertLog/LabCA.edb"
expect_eq "truncation when asked" 1 "$(grep -c '^CertSrvBackupTruncateLogs$' "$CALLS")"
rm -rf "$C/bk-big"
mv "$C/LabCA.edb.keep" "$CERTLOG/LabCA.edb"

# --- failures of the library, of the manifest and inside the worker --------------------------------
# One batch in the machine: each case sets its knob, backs up (truncating the logs when whole) and
# records ssbr's output and code.
# KEY|VALUE|DATA|EXPECTED
CASES=(
    # The manifest held open by another program from the dynamic files on: its last save fails.
    "$KEY\\Hold|CertSrvBackupGetDynamicFileListW|C:\\bk-fail\\CertificateServicesBackupSet.xml|Could not save xml file: C:\\bk-fail\\CertificateServicesBackupSet.xml
Error = 0x00000020"
    "$KEY\\Fail|CertSrvBackupPrepareW|0x80070005|CertSrvBackupPrepare($HOST) failed: 80070005
Error = 0x80070005"
    "$KEY\\Fail|CertSrvRestoreGetDatabaseLocationsW|0x8007000e|GetDBLocs("
    "$KEY\\Fail|CertSrvBackupGetDynamicFileListW|0x80004005|GetDynFiles("
    "$KEY\\Fail|CertSrvBackupEnd|0x80070006|BackupEnd("
    "$KEY|ExtraLocationMarker|0x41|Unknown database location
"
    # Thrown inside the worker: both class names.
    "$KEY\\Fail|CertSrvBackupOpenFileW|0x80070020|CertificateServicesException ERROR: pfnOpenFile("
    "$KEY\\Fail|CertSrvBackupRead|0x8007001e|CertificateServicesException ERROR: pfnRead("
)
rm -f "$CALLS"
for i in "${!CASES[@]}"; do
    IFS='|' read -r key value data _ <<<"${CASES[$i]}"
    [[ $data == 0x* ]] && type=REG_DWORD || type=REG_SZ
    step - "reg add \"$key\" /v $value /t $type /d \"$data\" /f >nul"
    step "knob-$i" 'ssbr backup C:\bk-fail --certificate-services --truncate-logs'
    step - "reg delete $key /v $value /f >nul"
done
steps_run "$MACHINE"
for i in "${!CASES[@]}"; do
    IFS='|' read -r key value _ <<<"${CASES[$i]}"
    result "knob-$i"
    expect_exit "$value knob" 1 $'An exception occurred in Backup:\nCertificateServicesException ERROR: '"${CASES[$i]#*|*|*|}"
done
result knob-7
expect_contains "pfnRead: status and text" $') failed: 8007001e\nError = 0x8007001E' "$ERR"
# Only the backup that was whole when its end failed truncated the logs, right before the end.
expect_eq "failed backups: logs truncated only once the backup was whole" \
    $'CertSrvBackupTruncateLogs\nCertSrvBackupEnd fails 80070006' \
    "$(grep -A1 '^CertSrvBackupTruncateLogs$' "$CALLS" | tr -d '\r')"
expect_contains "manifest held: the library held it" "CertSrvBackupGetDynamicFileListW holds C:\\bk-fail\\CertificateServicesBackupSet.xml: held" \
    "$(cat "$CALLS")"

# A library without CertSrvIsServerOnlineW and CertSrvServerControlW: the first one is named.
cp "$SYSTEM32/certadm.dll" "$C/certadm.dll.keep"
cp "$QM_BUILD_DIR/lab/certadm/partial/certadm.dll" "$SYSTEM32/certadm.dll"
run_in "$MACHINE" ssbr backup 'C:\bk-fail' --certificate-services
expect_contains "missing entry point" $'CertificateServicesException ERROR: GetProcAddress(CertSrvIsServerOnlineW) failed: ' "$ERR"
mv "$C/certadm.dll.keep" "$SYSTEM32/certadm.dll"

# --- a whole backup inside the folder whose files the restore replaces and removes: refused --------
# before anything is stopped or deleted (other refusals: tests/lab/hostile/certsrv.bash; failed
# restores: tests/lab/reliability/certsrv.bash).
cp -r "$C/bk" "$CERTLOG/Backup"
before=$(cd "$CERTLOG" && ls -l --time-style=+%s.%N)
before_state=$(tree_hashes "$CERTLOG" "$ENROLL")
rm -f "$CALLS"
run_in "$MACHINE" ssbr restore 'C:\windows\system32\CertLog\Backup' --no-verify --certificate-services
expect_contains "a backup inside the authority's folder" \
    'CertificateServicesException ERROR: The backup folder C:\windows\system32\CertLog\Backup lies in C:\windows\system32\CertLog, which the restore writes'$'\n' "$ERR"
expect_eq "inside the authority's folder: the folder untouched" "$before" "$(cd "$CERTLOG" && ls -l --time-style=+%s.%N)"
expect_eq "inside the authority's folder: its files and the backup unchanged" "$before_state" "$(tree_hashes "$CERTLOG" "$ENROLL")"
expect_eq "inside the authority's folder: CertSvc still runs" "CertSvc=RUNNING w3svc=STOPPED" "$(services)"
expect_eq "inside the authority's folder: no library call" "" "$(cat "$CALLS" 2>/dev/null)"
rm -rf "$CERTLOG/Backup"

# A service's process can miss the platform's start timeout on a loaded machine: asked again.
for attempt in 1 2 3; do
    run_in "$MACHINE" sc start w3svc
    [[ $(services) == *w3svc=RUNNING* ]] && break
done
expect_eq "w3svc started for the restore" "CertSvc=RUNNING w3svc=RUNNING" "$(services)"

# --- restore: CertSvc and w3svc stopped, files replaced, the others removed, registration ---------
head -c 4096 /dev/urandom >"$CERTLOG/edb0000C.log"
head -c 700 /dev/urandom >"$ENROLL/LabCA.crl"
run_in "$MACHINE" ssbr restore 'C:\bk' --no-verify --certificate-services
expect_eq "restore: exit" 0 "$RC"
expect_eq "restore: CertSvc and the running w3svc stopped" "CertSvc=STOPPED w3svc=STOPPED" "$(services)"
expect_eq "restore: the authority's folder holds the backup's files only" \
    "$(printf '%s\n' LabCA.edb edb00009.log edb0000A.log edb0000B.log)" "$(ls "$CERTLOG")"
expect_eq "restore: the enrollment folder holds its files only" \
    "$(printf '%s\n' "${HOST}_LabCA.crt" LabCA.crl | sort)" "$(ls "$ENROLL" | sort)"
same_files "restore" "$SAVED" "$SYSTEM32" "${FILES[@]:0:5}"
run_in "$MACHINE" reg query "$KEY\\Restore"
registration=$(awk 'NF >= 3 { print $1 "=" $3 }' <<<"$OUT")
expect_eq "restore: registration" "BackupLogDir=$LIVE\\CertLog
CheckpointDir=$LIVE\\CertLog
Complete=0x0
Database=$LIVE\\CertLog\\LabCA.edb
Ended=0x1
HighLog=0xb
LogDir=$LIVE\\CertLog
LowLog=0x9
MapEntries=0x1
NewDatabase=$LIVE\\CertLog\\LabCA.edb
Prepared=0x1" "$registration"

# w3svc installed but stopped, and CertSvc stopped already: nothing to stop, the restore goes on;
# the same without w3svc at all. A backup while the authority does not run asks the library nothing.
step both-stopped 'ssbr restore C:\bk --no-verify --certificate-services'
step - 'sc delete w3svc'
step without-w3svc 'ssbr restore C:\bk --no-verify --certificate-services'
step - 'del C:\calls.log'
step offline 'ssbr backup C:\bk-offline --certificate-services'
steps_run "$MACHINE"
result offline
expect_contains "offline" $'CertificateServicesException ERROR: CertSrv is not online\n' "$ERR"
expect_eq "offline: no library call" "" "$(cat "$CALLS" 2>/dev/null)"
result both-stopped
expect_eq "restore with both services stopped: exit" 0 "$RC"
result without-w3svc
expect_eq "restore without w3svc: exit" 0 "$RC"

# --- a w3svc that ignores the stop: the restore gives up after a minute without progress ------------
# Last, as the service stays "stop pending" until the machine stops.
run_in "$MACHINE" sc start CertSvc
run_in "$MACHINE" sc create w3svc binPath= '"C:\Program Files\Harborline\labservice.exe" ignore w3svc' start= demand
run_in "$MACHINE" sc start w3svc
for _ in $(seq 50); do [ "$(services)" = "CertSvc=RUNNING w3svc=RUNNING" ] && break; sleep 0.2; done
before_state=$(tree_hashes "$CERTLOG" "$ENROLL")
rm -f "$CALLS"
started=$SECONDS
run_in "$MACHINE" ssbr restore 'C:\bk' --no-verify --certificate-services
waited=$((SECONDS - started))
expect_exit "ignored stop" 1 $'ServiceException ERROR: Could not stop service: w3svc\nService state=3\n'
[ "$waited" -ge 60 ] && [ "$waited" -lt 150 ] || fail "ignored stop: the restore took $waited s, not a minute and a little"
expect_eq "ignored stop: CertSvc runs again" "CertSvc=RUNNING w3svc=STOP_PENDING" "$(services)"
expect_eq "ignored stop: nothing changed" "$before_state" "$(tree_hashes "$CERTLOG" "$ENROLL")"
expect_eq "ignored stop: no library call" "" "$(cat "$CALLS" 2>/dev/null)"

finish
