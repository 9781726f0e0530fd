#!/bin/bash
# Certificate Services through ssbr in a lab certification authority (also a domain controller):
# the backup's layout, manifest and files, reads of at most 512 KiB, a database above 4 GiB,
# failures of the library and inside the backup's worker, a library without every entry point;
# the restore stopping CertSvc for real, emptying and refilling the authority's folders and
# registering the log range, stopping w3svc only while it runs, and refusing a folder without a
# backup and a backup that lacks one of its files before anything is stopped or deleted.
source "$(dirname "$0")/lib/common.bash"

provision certsrv --os 2003 --role dc --role ca
machines_ready
MACHINE=$MACHINES/certsrv
C=$MACHINE/drive_c
CERTLOG=$C/windows/system32/CertLog
ENROLL=$C/windows/system32/CertSrv/CertEnroll
SYSTEM32=$C/windows/system32
KEY='HKLM\Software\QmLab\CertAdm'
CALLS=$C/calls.log

# services: "CertSvc=STATE w3svc=STATE" (a service that is not installed shows no state).
services() {
    run_in "$MACHINE" cmd /c 'sc query CertSvc & sc query w3svc'
    awk '$1 == "SERVICE_NAME:" { name = $2 } $1 == "STATE" { printf "%s%s=%s", sep, name, $4; sep = " " }' <<<"$OUT"
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
expect_eq "backup: saved files" "$(printf '%s\n' CertLog/LabCA.edb CertLog/edb00009.log CertLog/edb0000A.log \
    CertLog/edb0000B.log CertSrv/CertEnroll/LabCA.crl "CertSrv/CertEnroll/${HOST}_LabCA.crt")" \
    "$(cd "$C/bk/CertSrv" && find . -type f | sed "s|^./$HOST/C\\\$/windows/system32/||" | sort)"
for file in CertLog/LabCA.edb CertLog/edb00009.log CertLog/edb0000A.log CertLog/edb0000B.log \
            CertSrv/CertEnroll/LabCA.crl "CertSrv/CertEnroll/${HOST}_LabCA.crt"; do
    cmp -s "$C/windows/system32/$file" "$SAVED/$file" || fail "backup: $file differs from the live one"
done
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
rm -f "$CERTLOG/LabCA.edb"
truncate -s $((4 * 1024 * 1024 * 1024 + 4096)) "$CERTLOG/LabCA.edb"
printf 'tail of the database' | dd of="$CERTLOG/LabCA.edb" bs=1 seek=$((4 * 1024 * 1024 * 1024 + 1000)) conv=notrunc status=none
run_in "$MACHINE" ssbr backup 'C:\bk-big' --certificate-services --truncate-logs
expect_eq "big database: exit" 0 "$RC"
BIG=$C/bk-big/CertSrv/$HOST/C\$/windows/system32/CertLog/LabCA.edb
expect_eq "big database: size" "$(stat -c %s "$CERTLOG/LabCA.edb")" "$(stat -c %s "$BIG" 2>/dev/null)"
expect_eq "big database: tail" "tail of the database" "$(dd if="$BIG" bs=1 skip=$((4 * 1024 * 1024 * 1024 + 1000)) count=20 status=none)"
[ "$(du -k "$BIG" | cut -f1)" -lt 1024 ] || fail "big database: the copy takes $(du -k "$BIG" | cut -f1) KiB of disk"
expect_eq "truncation when asked" 1 "$(grep -c '^CertSrvBackupTruncateLogs$' "$CALLS")"
rm -rf "$C/bk-big"
mv "$C/LabCA.edb.keep" "$CERTLOG/LabCA.edb"

# --- failures of the library and inside the worker ------------------------------------------------
# One batch in the machine: each case sets its knob, backs up and records ssbr's output and code.
# KEY|VALUE|DATA|EXPECTED
CASES=(
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
mkdir -p "$C/knobs"
for i in "${!CASES[@]}"; do
    IFS='|' read -r key value data _ <<<"${CASES[$i]}"
    printf 'reg add %s /v %s /t REG_DWORD /d %s /f >nul\r\n' "$key" "$value" "$data"
    printf 'ssbr backup C:\\bk-fail --certificate-services >C:\\knobs\\%s.out 2>C:\\knobs\\%s.err\r\n' "$i" "$i"
    printf 'echo %%errorlevel%% >C:\\knobs\\%s.rc\r\n' "$i"
    printf 'reg delete %s /v %s /f >nul\r\n' "$key" "$value"
done >"$C/knobs/run.cmd"
run_in "$MACHINE" cmd /c 'C:\knobs\run.cmd'
for i in "${!CASES[@]}"; do
    IFS='|' read -r key value _ <<<"${CASES[$i]}"
    expect_eq "$value knob: exit" 1 "$(tr -d '\r ' <"$C/knobs/$i.rc")"
    expect_contains "$value knob" $'An exception occurred in Backup:\nCertificateServicesException ERROR: '"${CASES[$i]#*|*|*|}" \
        "$(tr -d '\r' <"$C/knobs/$i.err")"
done
expect_contains "pfnRead: status and text" $') failed: 8007001e\nError = 0x8007001E' "$(tr -d '\r' <"$C/knobs/6.err")"

# A library without CertSrvIsServerOnlineW and CertSrvServerControlW: the first one is named.
cp "$SYSTEM32/certadm.dll" "$C/certadm.dll.keep"
cp "$QM_BUILD_DIR/lab/certadm/partial/certadm.dll" "$SYSTEM32/certadm.dll"
run_in "$MACHINE" ssbr backup 'C:\bk-fail' --certificate-services
expect_contains "missing entry point" $'CertificateServicesException ERROR: GetProcAddress(CertSrvIsServerOnlineW) failed: ' "$ERR"
mv "$C/certadm.dll.keep" "$SYSTEM32/certadm.dll"

# --- restore refusals: nothing stopped, nothing deleted, nothing created --------------------------
mkdir -p "$C/bk-none"
rm -f "$CALLS"
run_in "$MACHINE" ssbr restore 'C:\bk-none' --no-verify --certificate-services
expect_eq "no backup: exit" 1 "$RC"
expect_contains "no backup" $'CertificateServicesBackupSetException ERROR: No Certificate Services backup in C:\\bk-none\n' "$ERR"
expect_eq "no backup: the folder stays empty" "" "$(ls -A "$C/bk-none")"
cp -r "$C/bk" "$C/bk-missing"
rm "$C/bk-missing/CertSrv/$HOST/C\$/windows/system32/CertLog/edb0000B.log"
before=$(cd "$CERTLOG" && ls -l --time-style=+%s.%N)
run_in "$MACHINE" ssbr restore 'C:\bk-missing' --no-verify --certificate-services
expect_eq "missing log: exit" 1 "$RC"
expect_contains "missing log" "CertificateServicesException ERROR: CopyFile(C:\\bk-missing\\CertSrv\\$HOST\\C\$\\windows\\system32\\CertLog\\edb0000B.log, $LIVE\\CertLog\\edb0000B.log) failed."$'\n'"Error = 0x00000002" "$ERR"
# Manifests that lead out of the backup folder or would empty a volume root.
mkdir -p "$C/bk-out" "$C/bk-root"
manifest=$(cat "$C/bk/CertificateServicesBackupSet.xml")
outside="<backuplogs><file>$LIVE\\CertLog\\..\\..\\win.ini</file>"
root="<database>\\\\$HOST\\C\$\\LabCA.edb</database>"
printf '%s' "${manifest/<backuplogs>/"$outside"}" >"$C/bk-out/CertificateServicesBackupSet.xml"
printf '%s' "${manifest/<database>*<\/database>/"$root"}" >"$C/bk-root/CertificateServicesBackupSet.xml"
run_in "$MACHINE" cmd /c 'ssbr restore C:\bk-out --no-verify --certificate-services & ssbr restore C:\bk-root --no-verify --certificate-services'
expect_contains "a log outside the backup" "Invalid entry in C:\\bk-out\\CertificateServicesBackupSet.xml: $LIVE\\CertLog\\..\\..\\win.ini"$'\n' "$ERR"
expect_contains "a database on a volume root" "Invalid entry in C:\\bk-root\\CertificateServicesBackupSet.xml: \\\\$HOST\\C\$"$'\n' "$ERR"
expect_eq "missing log: the authority's folder untouched" "$before" "$(cd "$CERTLOG" && ls -l --time-style=+%s.%N)"
expect_eq "refused restores: CertSvc still runs" "CertSvc=RUNNING w3svc=STOPPED" "$(services)"
expect_eq "refused restores: no library call" "" "$(cat "$CALLS" 2>/dev/null)"

# --- restore: CertSvc stopped, folders emptied and refilled, registration, w3svc ------------------
run_in "$MACHINE" sc start w3svc
head -c 4096 /dev/urandom >"$CERTLOG/edb0000C.log"
head -c 700 /dev/urandom >"$ENROLL/LabCA.crl"
run_in "$MACHINE" ssbr restore 'C:\bk' --no-verify --certificate-services
expect_eq "restore: exit" 0 "$RC"
expect_eq "restore: CertSvc and the running w3svc stopped" "CertSvc=STOPPED w3svc=STOPPED" "$(services)"
expect_eq "restore: the authority's folder holds the backup's files only" \
    "$(printf '%s\n' LabCA.edb edb00009.log edb0000A.log edb0000B.log)" "$(ls "$CERTLOG")"
for file in CertLog/LabCA.edb CertLog/edb00009.log CertLog/edb0000A.log CertLog/edb0000B.log CertSrv/CertEnroll/LabCA.crl; do
    cmp -s "$SAVED/$file" "$C/windows/system32/$file" || fail "restore: $file is not the saved one"
done
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

# w3svc installed but stopped, and CertSvc stopped already: nothing to stop, the restore goes on.
run_in "$MACHINE" ssbr restore 'C:\bk' --no-verify --certificate-services
expect_eq "restore with both services stopped: exit" 0 "$RC"
# Without w3svc at all.
run_in "$MACHINE" sc delete w3svc
run_in "$MACHINE" ssbr restore 'C:\bk' --no-verify --certificate-services
expect_eq "restore without w3svc: exit" 0 "$RC"

# --- backup of a server whose service does not run --------------------------------------------------
rm -f "$CALLS"
run_in "$MACHINE" ssbr backup 'C:\bk-offline' --certificate-services
expect_contains "offline" $'CertificateServicesException ERROR: CertSrv is not online\n' "$ERR"
expect_eq "offline: no library call" "" "$(cat "$CALLS" 2>/dev/null)"

finish
