#!/bin/bash
# Disaster recovery: machine A (a 2003 domain controller, certification authority and cluster
# node) is backed up whole onto its drive E:, which outlives it. Machine B is the same server
# installed afresh (same name and roles) with its own data everywhere (lab/roles/rebuilt.bash):
# other registry values and running control set, other volume numbers, boot and protected files,
# directory database with more log generations, authority database and logs, SysVol scripts,
# COM+ catalog and cluster database. B verifies and restores A's backup in restore mode, restarts,
# and must then hold A's items, the hives it swaps in must be A's, and none of B's own logs may
# stay beside A's. On the way: ssbr's --json documents of backup and restore (a failure named by
# its component), and the refusal of a backup taken on a server of another name.
source "$(dirname "$0")/lib/common.bash"

provision rebuilt-a --os 2003 --role dc --role ca --role cluster
provision rebuilt-b --os 2003 --role dc --role ca --role cluster --role rebuilt
A=$MACHINES/rebuilt-a B=$MACHINES/rebuilt-b
machines_ready

# json EXPRESSION TEXT: the Python expression over the document d, in which o is "id:outcome ..."
# of its components and c(I, KEY) is the KEY of component I.
json() {
    python3 -c 'import json, sys; d = json.loads(sys.stdin.read()); c = lambda i, k: d["components"][i][k]
o = " ".join(c["id"] + ":" + c["outcome"] for c in d["components"]); print(eval(sys.argv[1]))' "$1" <<<"$2" 2>&1
}
ALL_DONE="boot-files:done active-directory:done sysvol:done certificate-services:done cluster:done registry:done complus:done"

# The items `make demo` checks, as Unix paths below drive C.
ITEMS=(NtLdr windows/system32/qmprot32.dll windows/NTDS/ntds.dit windows/system32/CertLog/LabCA.edb
    windows/SYSVOL/domain/scripts/logon.bat windows/cluster/CLUSDB)
CATALOG_KEY='HKLM\Software\Harborline Lab\COM+ Catalog'
# logs FOLDER [REGEX]: the names of its logs (or of the files REGEX takes) on one line.
logs() { (cd "$1" && ls -1 | grep -E "${2:-\.log\$}" | tr '\n' ' '); }
GENERATIONS='^edb[0-9A-Fa-f]{5,8}\.log$'

# --- A: the backup, and a backup that fails -------------------------------------------------
run_in "$A" reg add 'HKLM\SOFTWARE\Harborline Demo' /v Motto /d 'saved on A' /f
run_in "$A" ssbr backup 'E:\SystemState' --all --json
expect_eq "A: backup: exit" 0 "$RC"
# Files and bytes are what lies below the target, catalog included; each component's add up to
# all but the catalog.
FILES=$(find "$A/drive_e/SystemState" -type f | wc -l)
expect_eq "A: backup --json: outcomes | exit code, error, renames | files, bytes, components' files | duration, errors" \
    "$ALL_DONE | 0 None [] | $FILES $(find "$A/drive_e/SystemState" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }') $((FILES - 2)) | True set()" \
    "$(json '"%s | %s %s %s | %s %s %s | %s %s" % (o, d["exitCode"], d["error"], d["pendingRenames"], d["files"], d["bytes"],
        sum(x["files"] for x in d["components"]), d["durationSeconds"] > 0, {x["error"] for x in d["components"]} - {None})' "$OUT")"

declare -A SAVED
for item in "${ITEMS[@]}"; do SAVED[$item]=$(sha256sum <"$A/drive_c/$item"); done
run_in "$A" reg query "$CATALOG_KEY" /s
SAVED_CATALOG=$OUT
A_AUTHORITY_LOGS=$(logs "$A/drive_c/windows/system32/CertLog")

# A backup that fails in the authority: the document names it, what came before is done and
# what would have come after never ran.
run_in "$A" cmd /c 'reg add HKLM\Software\QmLab\CertAdm\Fail /v CertSrvBackupPrepareW /t REG_DWORD /d 0x80070005 /f >nul & ssbr backup E:\Failed --sysvol --certificate-services --registry --json'
expect_eq "A: failed backup: exit" 1 "$RC"
expect_eq "A: failed backup --json: outcomes | the registry's reason | exit code, error, the authority's text" \
    "sysvol:done certificate-services:failed registry:skipped | not run: the backup stopped at Certificate Services | 1 True True" \
    "$(json '"%s | %s | %s %s %s" % (o, c(2, "reason"), d["exitCode"], d["error"] == c(1, "error"), "CertificateServicesException" in c(1, "error"))' "$OUT")"
"$LAB/stop" "$A"

# --- B: A's drive, and a backup of another server -----------------------------------------
cp -a "$A/drive_e/SystemState" "$B/drive_e/"
B_CLUSTER=$(sha256sum <"$B/drive_c/windows/cluster/CLUSDB")
# The same backup, as if taken on OLDSRV (its catalog still whole).
cp -a "$B/drive_e/SystemState" "$B/drive_e/Elsewhere"
(cd "$B/drive_e/Elsewhere" && sed -i 's/"machine": "VM"/"machine": "OLDSRV"/' backup.json &&
    sed -i "s/^[0-9a-f]*  backup.json\$/$(sha256sum backup.json | cut -d' ' -f1)  backup.json/" SHA256SUMS)
run_in "$B" ssbr restore 'E:\Elsewhere' --registry --json
expect_eq "another server's backup: exit" 1 "$RC"
expect_eq "another server's backup: text" \
    "ssbr: This backup was taken on OLDSRV; this server is VM; nothing was restored (--other-server restores it anyway)" "$ERR"
expect_eq "another server's backup --json: error, exit code, components" "$ERR 1 []" "$(json '"%s %s %s" % (d["error"], d["exitCode"], d["components"])' "$OUT")"
[ -e "$B/drive_c/SystemStateRestore" ] && fail "another server's backup: the registry restore began"
# With --other-server it goes through to the components: here COM+ fails (its file gone), and
# the cluster database after it is never asked for.
rm "$B/drive_e/Elsewhere/comDB.reg"
run_in "$B" ssbr restore 'E:\Elsewhere' --cluster --complus --other-server --no-verify --json
expect_eq "--other-server, COM+ failing: exit" 1 "$RC"
expect_eq "--other-server, COM+ failing --json: outcomes | the cluster's reason | the text" \
    'cluster:skipped complus:failed | not run: the restore stopped at COM+ database | True' \
    "$(json '"%s | %s | %s" % (o, c(0, "reason"), r"No COM+ database backup in E:\Elsewhere" in c(1, "error"))' "$OUT")"
expect_eq "--other-server, COM+ failing: the cluster database untouched" "$B_CLUSTER" \
    "$(sha256sum <"$B/drive_c/windows/cluster/CLUSDB")"
rm -rf "$B/drive_e/Elsewhere"

# --- B: the restore ---------------------------------------------------------------------------
run_in "$B" ssbr verify 'E:\SystemState'
expect_eq "B: verify: exit ($(tr -d '\r' <<<"$OUT$ERR" | tail -3))" 0 "$RC"
SAFEBOOT_OPTION=DSREPAIR run_in "$B" ssbr restore 'E:\SystemState' --all --json
RESTORED=$OUT
expect_eq "B: restore: exit and stderr" "0 " "$RC $ERR"
expect_eq "B: restore --json: outcomes | files" \
    "boot-files:staged active-directory:done sysvol:done certificate-services:done cluster:done registry:staged complus:done | $(find "$B/drive_e/SystemState" -type f | wc -l)" \
    "$(json '"%s | %s" % (o, d["files"])' "$OUT")"
# The renames the document lists are the ones waiting: the boot files' staged copies among them.
run_in "$B" reg query "$SESSION_MANAGER" /v PendingFileRenameOperations
expect_eq "B: restore --json: renames waiting" "$(grep -o '\\??\\' <<<"$OUT" | wc -l)" \
    "$(json 'sum(1 + (r["to"] is not None) for r in d["pendingRenames"])' "$RESTORED")"
expect_eq "B: restore --json: the boot loader's rename" 'C:\NtLdr' \
    "$(json '[r["to"] for r in d["pendingRenames"] if r["from"].endswith("\\NtLdr")][0]' "$RESTORED")"

"$LAB/restart" "$B" >/dev/null 2>&1 || fail "B: the restart failed"

# --- B answers as A did ------------------------------------------------------------------------
for item in "${ITEMS[@]}"; do
    expect_eq "B after the restore: $item is A's" "${SAVED[$item]}" "$(sha256sum <"$B/drive_c/$item")"
done
run_in "$B" reg query "$CATALOG_KEY" /s
expect_eq "B after the restore: the COM+ catalog is A's" "$SAVED_CATALOG" "$OUT"
# The directory's generation logs are the backup's (the current and reserve logs stay the
# service's).
expect_eq "B after the restore: the directory's logs are A's only" "$(logs "$B/drive_e/SystemState" "$GENERATIONS")" \
    "$(logs "$B/drive_c/windows/NTDS" "$GENERATIONS")"
expect_eq "B after the restore: the authority's logs are A's only" "$A_AUTHORITY_LOGS" \
    "$(logs "$B/drive_c/windows/system32/CertLog")"

# The hives B swaps in are A's, prepared where A kept them and merged into A's control set: every
# hive of A's is prepared, the hive of A's user, whom B's hive list does not name, on drive C; in
# SYSTEM B's kept values go into the control set A starts with (ControlSet001; B runs on
# ControlSet002) and B's volumes are kept. What else a restore takes from the running system is
# shown once, by registry_restore.sh.
mapfile -t PREPARED < <(cd "$B/drive_c/SystemStateRestore/Registry" && find . -name '*.tmp' | sed 's|^\./||' | sort)
expect_eq "B: prepared hives" 9 "${#PREPARED[@]}"
expect_contains "B: A's user's hive prepared on C" 'C/Documents and Settings/Administrator/NTUSER.DAT.tmp' "${PREPARED[*]}"
[ -e "$B/drive_b/SystemStateRestore" ] && fail "B: a hive was prepared on drive B: $(cd "$B/drive_b" && find SystemStateRestore -type f)"
step system 'hivetool file C:\SystemStateRestore\Registry\C\WINDOWS\system32\config\system.tmp'
step software 'hivetool file C:\SystemStateRestore\Registry\C\WINDOWS\system32\config\software.tmp'
step mounted 'hivetool key HKLM\SYSTEM\MountedDevices'
steps_run "$B"
result mounted
MOUNTED=$(tail -n +2 <<<"$OUT")
result system
expect_eq "B: prepared SYSTEM: B's kept value in A's control set" 'BurFlags = REG_DWORD 210' \
    "$(grep -A1 -Fx '[ControlSet001\Services\NtFrs\Parameters\Backup/Restore\Process at Startup]' <<<"$OUT" | tail -1)"
expect_eq "B: prepared SYSTEM: B's volumes" "$MOUNTED" "$(sed -n '/^\[MountedDevices\]/,/^\[/{/^\[/d;p}' <<<"$OUT")"
result software
expect_eq "B: prepared SOFTWARE: A's value" 'Motto = REG_SZ saved on A' "$(grep -A1 -Fx '[Harborline Demo]' <<<"$OUT" | tail -1)"

finish
