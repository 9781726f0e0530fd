#!/bin/bash
# SysVol and the COM+ catalog through ssbr on a lab domain controller: the backup's layout and
# manifest, every name of the tree carried byte for byte, the tree's folder links recorded as
# links; a restore that overwrites what the copy holds, keeps other live files and live links,
# runs only in restore mode, refuses a folder without a SysVol backup, a backup holding a link, a
# backup inside the live tree and hostile manifests before it writes anything, and undoes what it
# did when a step fails; the catalog's one file, a changed catalog brought back, and a missing or
# damaged file failing with the catalog's code.
source "$(dirname "$0")/lib/common.bash"

provision sysvol-complus-dc --os 2003 --role dc
machines_ready
DC=$MACHINES/sysvol-complus-dc
C=$DC/drive_c
SVB=$C/svb
LIVE=$C/windows/SYSVOL
CATALOG='HKLM\Software\Harborline Lab\COM+ Catalog'
SCRIPTS=$LIVE/domain/scripts
DEEP=$(find "$LIVE" -name 'Long path file.txt')
UMLAUT="$SCRIPTS/Zürich Büro/Anmeldung für Büro.cmd"
GREEK="$SCRIPTS/Zürich Büro/Δοκιμή 日本.dat"
APOSTROPHE="$SCRIPTS/O'Brien's scripts/map drives.cmd"
rm -rf "$SVB"
mkdir -p "$SVB/out" "$SVB/empty"

# Each command of a phase is a step of one batch file, run by one command in the machine (each
# command costs a process start there); result NAME then sets OUT, ERR and RC of that step.
STEPS=()
step() { STEPS+=("$2 >C:\\svb\\out\\$1.out 2>C:\\svb\\out\\$1.err" ">C:\\svb\\out\\$1.rc echo %ERRORLEVEL%"); }
run_steps() {
    printf '%s\r\n' '@echo off' "${STEPS[@]}" >"$SVB/steps.cmd"
    STEPS=()
    # Its exit code is the last step's: each step's own is read by result.
    run_in "$DC" cmd /c 'C:\svb\steps.cmd'
}
result() {
    OUT=$(tr -d '\r' <"$SVB/out/$1.out") ERR=$(tr -d '\r' <"$SVB/out/$1.err") RC=$(tr -d '\r ' <"$SVB/out/$1.rc")
}
# The live tree as it stands: every entry's type and name (a link with where it leads, not
# followed) and every file's hash.
live_tree() {
    (cd "$LIVE" && find . -printf '%y %p %l\n' | sort && find . -type f -exec sha256sum {} + | sort -k2)
}
# expect_tree WHAT BEFORE: the live tree is still BEFORE (a live_tree listing); else the first
# differences.
expect_tree() {
    local now
    now=$(live_tree)
    [ "$2" = "$now" ] || fail "$1: $(diff <(echo "$2") <(echo "$now") | head -6)"
}
# The two folder links of the lab's tree, as the manifest records them.
LINKS='<link target="domain">sysvol\lab.example</link>
<link target="staging\domain">staging areas\lab.example</link>'

# --- backup --------------------------------------------------------------------------------------
# The machine's tree must hold what the copy has to carry.
deep_windows="C:\\windows\\SYSVOL${DEEP#"$LIVE"}"
((${#deep_windows} > 260)) && [ -f "$UMLAUT" ] && [ -f "$GREEK" ] && [ -f "$APOSTROPHE" ] ||
    fail "the lab tree lacks a deep, non-ASCII or apostrophe name"

step catalog-at-backup "reg query \"$CATALOG\" /s"
step backup 'ssbr backup C:\svb\full --sysvol --complus'
step backup-com 'ssbr backup C:\svb\com --complus'
run_steps
result catalog-at-backup
CATALOG_AT_BACKUP=$OUT
expect_contains "the lab catalog holds its applications" "Harborline Payroll" "$CATALOG_AT_BACKUP"
result backup
expect_eq "backup: exit" 0 "$RC"
FULL=$SVB/full
# ssbr's catalog (SHA256SUMS, backup.json) aside.
expect_eq "backup: top level" "SysVol SystemVolumeBackupSet.xml comDB.reg" "$(cd "$FULL" && ls | grep -vx 'SHA256SUMS\|backup.json' | sort | xargs)"
expect_eq "backup: copy folder" "SysVol/C/windows/SysVol" "$(cd "$FULL" && find SysVol -maxdepth 3 -mindepth 3)"
MANIFEST=$(tr -d '\r\n' <"$FULL/SystemVolumeBackupSet.xml")
expect_eq "backup: manifest" "<BackupSet type=\"SystemVolume\"><directory>C\\windows\\SysVol</directory>" "${MANIFEST%%<link*}"
expect_eq "backup: the folder links, recorded as links" "$LINKS" "$(grep -o '<link [^/]*/link>' <<<"$MANIFEST" | sort)"
COPY=$FULL/SysVol/C/windows/SysVol
# Not a second copy of the folders they lead to, and no stand-in either.
expect_eq "backup: the links' places in the copy" "sysvol: staging areas: " \
    "$(cd "$COPY" && for folder in sysvol 'staging areas'; do printf '%s:%s ' "$folder" "$(ls -A "$folder")"; done)"
# Names and contents byte for byte: diff -r compares both (it follows the live links: left out).
diff -r -x lab.example "$LIVE" "$COPY" >/dev/null ||
    fail "backup: the copy differs from the live tree: $(diff -r -x lab.example "$LIVE" "$COPY" | head -3)"
result backup-com
expect_eq "COM+ backup: exit" 0 "$RC"
expect_eq "COM+ backup writes exactly comDB.reg" "comDB.reg" "$(cd "$SVB/com" && find . -mindepth 1 | sed 's|^\./||' | grep -vx 'SHA256SUMS\|backup.json' | xargs)"

# --- the live system changes, and folders that hold no backup or a broken one --------------------
for file in "$DEEP" "$UMLAUT" "$GREEK" "$APOSTROPHE" "$SCRIPTS/logon.bat"; do echo "changed since the backup" >"$file"; done
echo "added since the backup" >"$SCRIPTS/added after backup.bat"
mkdir -p "$SVB/damaged" "$SVB/truncated" "$SVB/manifest-only" "$SVB/outside/SysVol"
sed 's/Payroll/Paycheck/' "$FULL/comDB.reg" >"$SVB/damaged/comDB.reg"
head -c 200 "$FULL/comDB.reg" >"$SVB/truncated/comDB.reg"
cp "$FULL/SystemVolumeBackupSet.xml" "$SVB/manifest-only/"
echo "not from the backup" >"$SVB/outside/SysVol/planted.txt"
# Manifests from elsewhere that would lead the restore out of its copy folder.
HOSTILE=('..\outside\SysVol' 'inside\..\..\outside\SysVol' 'inside\. .\..\outside\SysVol' 'C:\svb\outside\SysVol'
         'link\SysVol' '')
for i in "${!HOSTILE[@]}"; do
    mkdir -p "$SVB/hostile$i/SysVol/inside"
    ln -s "$SVB/outside" "$SVB/hostile$i/SysVol/link"
    printf '<BackupSet type="SystemVolume"><directory>%s</directory></BackupSet>' "${HOSTILE[$i]}" \
        >"$SVB/hostile$i/SystemVolumeBackupSet.xml"
done
# Link entries from elsewhere that would make a link lead out of the tree or sit outside it.
LINK_HOSTILE=('sysvol\evil|..\..\svb\outside' 'sysvol\evil|C:\svb\outside' '..\evil|domain' 'sysvol\evil|')
for i in "${!LINK_HOSTILE[@]}"; do
    mkdir -p "$SVB/link-hostile$i"
    cp -a "$FULL/SysVol" "$SVB/link-hostile$i/"
    printf '<BackupSet type="SystemVolume"><directory>C\\windows\\SysVol</directory><link target="%s">%s</link></BackupSet>' \
        "${LINK_HOSTILE[$i]#*|}" "${LINK_HOSTILE[$i]%|*}" >"$SVB/link-hostile$i/SystemVolumeBackupSet.xml"
done
# A whole backup with a link deep in its tree, below scripts: the restore must not pull what it
# leads to into the live, shared tree.
cp -a "$FULL" "$SVB/deep-link"
ln -s "$SVB/outside/SysVol" "$SVB/deep-link/SysVol/C/windows/SysVol/domain/scripts/pulled"
# A backup whose copy holds sysvol\lab.example as a plain folder, where the live tree has the
# link: a copy laid over it would be written through the link.
cp -a "$FULL" "$SVB/plain-copy"
mkdir "$SVB/plain-copy/SysVol/C/windows/SysVol/sysvol/lab.example"
echo "a second copy" >"$SVB/plain-copy/SysVol/C/windows/SysVol/sysvol/lab.example/logon.bat"
sed -i 's|<link [^/]*/link>||g' "$SVB/plain-copy/SystemVolumeBackupSet.xml"
# A whole backup inside the live tree the restore writes.
cp -a "$FULL" "$LIVE/inside"

# --- refused restores: nothing is written to the live tree ---------------------------------------
REFUSED=(empty missing manifest-only deep-link plain-copy)
for i in "${!HOSTILE[@]}"; do REFUSED+=("hostile$i"); done
for i in "${!LINK_HOSTILE[@]}"; do REFUSED+=("link-hostile$i"); done
STEPS+=('set SAFEBOOT_OPTION=DSREPAIR')
for folder in "${REFUSED[@]}"; do step "sysvol-$folder" "ssbr restore C:\\svb\\$folder --no-verify --sysvol"; done
step sysvol-inside 'ssbr restore C:\windows\SYSVOL\inside --no-verify --sysvol'
LIVE_BEFORE=$(live_tree)
run_steps
expect_tree "refused restores leave the live tree" "$LIVE_BEFORE"
rm -rf "$LIVE/inside"

# A folder without a SysVol backup fails and creates nothing.
for folder in empty missing manifest-only; do
    result "sysvol-$folder"
    expect_eq "SysVol restore from $folder: exit" 1 "$RC"
    expect_contains "SysVol restore from $folder: message" "No SysVol backup in C:\\svb\\$folder" "$ERR"
done
expect_eq "failed restores create nothing" "./manifest-only/SystemVolumeBackupSet.xml" \
    "$(cd "$SVB" && find ./empty ./missing ./manifest-only -mindepth 1 2>/dev/null)"
for i in "${!HOSTILE[@]}"; do
    result "sysvol-hostile$i"
    expect_eq "hostile manifest [${HOSTILE[$i]}]: exit" 1 "$RC"
    expect_contains "hostile manifest [${HOSTILE[$i]}]: message" \
        "Invalid SysVol copy path in C:\\svb\\hostile$i\\SystemVolumeBackupSet.xml: ${HOSTILE[$i]}" "$ERR"
done
for i in "${!LINK_HOSTILE[@]}"; do
    result "sysvol-link-hostile$i"
    expect_eq "hostile link [${LINK_HOSTILE[$i]}]: exit" 1 "$RC"
    expect_contains "hostile link [${LINK_HOSTILE[$i]}]: message" \
        "Invalid SysVol link in C:\\svb\\link-hostile$i\\SystemVolumeBackupSet.xml: ${LINK_HOSTILE[$i]%|*} to ${LINK_HOSTILE[$i]#*|}" "$ERR"
done
while IFS='|' read -r folder message; do
    result "sysvol-$folder"
    expect_eq "SysVol restore from $folder: exit" 1 "$RC"
    expect_contains "SysVol restore from $folder: message" "SystemVolumeException ERROR: $message" "$ERR"
done <<'CASES'
deep-link|The SysVol backup holds a link at C:\svb\deep-link\SysVol\C\windows\SysVol\domain\scripts\pulled; nothing was restored
plain-copy|The live SysVol has a link at C:\windows\SysVol\sysvol\lab.example where the backup has a folder; nothing was restored
inside|The backup folder C:\windows\SYSVOL\inside lies in C:\windows\SysVol, which the restore writes
CASES

step change-catalog "reg delete \"$CATALOG\\Applications\\{6B1C7A2E-5D3F-4B8A-9C21-3E7F0A1D2B44}\" /f"
step add-to-catalog "reg add \"$CATALOG\\Applications\\{BEEF}\" /v Name /d Later /f"
step catalog-changed "reg query \"$CATALOG\" /s"
step outside-mode 'ssbr restore C:\svb\full --no-verify --sysvol'
step outside-mode-tree 'type C:\windows\SYSVOL\domain\scripts\logon.bat'
for folder in empty damaged truncated; do step "complus-$folder" "ssbr restore C:\\svb\\$folder --no-verify --complus"; done
step catalog-after-failures "reg query \"$CATALOG\" /s"
STEPS+=('set SAFEBOOT_OPTION=DSREPAIR')
step restore 'ssbr restore C:\svb\full --no-verify --sysvol --complus'
step catalog-restored "reg query \"$CATALOG\" /s"
run_steps

result catalog-changed
CATALOG_CHANGED=$OUT
[ "$CATALOG_CHANGED" != "$CATALOG_AT_BACKUP" ] || fail "the catalog did not change"

# --- outside restore mode SysVol is passed over --------------------------------------------------
result outside-mode
# ssbr says SysVol was skipped: exit 3.
expect_eq "restore outside restore mode: exit" 3 "$RC"
result outside-mode-tree
expect_eq "restore outside restore mode leaves the tree" "changed since the backup" "$OUT"

# --- a catalog file that is missing is refused before the catalog is asked; a damaged one fails
# with the catalog's code; nothing changes --------------------------------------------------------
result complus-empty
expect_eq "COM+ restore from empty: exit" 1 "$RC"
expect_contains "COM+ restore from empty: message" "No COM+ database backup in C:\\svb\\empty" "$ERR"
while IFS='|' read -r folder code; do
    result "complus-$folder"
    expect_eq "COM+ restore from $folder: exit" 1 "$RC"
    expect_contains "COM+ restore from $folder: message" \
        "ICOMAdminCatalog->RestoreREGDB(C:\\svb\\$folder\\comDB.reg) failed: Error = $code" "$ERR"
done <<'CODES'
damaged|0x8011043B
truncated|0x8011043B
CODES
result catalog-after-failures
expect_eq "failed COM+ restores leave the catalog" "$CATALOG_CHANGED" "$OUT"

# --- restore in restore mode ---------------------------------------------------------------------
result restore
expect_eq "restore: exit" 0 "$RC"
diff -r -x 'added after backup.bat' -x lab.example "$COPY" "$LIVE" >/dev/null ||
    fail "restore: the live tree differs from the copy: $(diff -r -x lab.example "$COPY" "$LIVE" | head -3)"
expect_eq "restore keeps a live file the copy lacks" "added since the backup" "$(cat "$SCRIPTS/added after backup.bat")"
expect_eq "restore leaves the live links in place" "../domain ../staging/domain" \
    "$(readlink "$LIVE/sysvol/lab.example") $(readlink "$LIVE/staging areas/lab.example")"
expect_eq "restore leaves nothing of its own in the tree" "" "$(cd "$LIVE" && find . -name '*.qm*~')"
result catalog-restored
expect_eq "restore: the catalog is back as it was at the backup" "$CATALOG_AT_BACKUP" "$OUT"

# --- a restore that fails at any of its writing steps leaves the live tree as it was --------------
# Staging a copy beside a live file fails in a folder that cannot be written (an immutable folder:
# root's Wine process is refused too), swapping fails at a live file that cannot be renamed, and
# making a recorded link fails where the live tree lacks it or holds a plain folder instead (the
# second copy an older restore left): Wine cannot make a folder link, so that is the last step,
# after every file was swapped. The backup folder is only read.
LINK=$LIVE/sysvol/lab.example
UNWRITABLE_FOLDER="$SCRIPTS/Zürich Büro" UNRENAMABLE="$SCRIPTS/O'Brien's scripts/map drives.cmd"
immutable() { chattr "$1" "$UNWRITABLE_FOLDER" "$UNRENAMABLE" 2>/dev/null; }
trap 'immutable -i; stop_machines' EXIT
backup_hashes() { (cd "$FULL" && find . -type f -exec sha256sum {} + | sort -k2); }
BACKUP_BEFORE=$(backup_hashes)
SAVED='C:\svb\full\SysVol\C\windows\SysVol' LIVE_WIN='C:\windows\SysVol'
while IFS='|' read -r step message; do
    echo "changed again" >"$SCRIPTS/logon.bat"
    echo "changed again" >"$UNWRITABLE_FOLDER/Anmeldung für Büro.cmd"
    case $step in
        staging | swap)
            if ! chattr +i "$([ "$step" = staging ] && echo "$UNWRITABLE_FOLDER" || echo "$UNRENAMABLE")" 2>/dev/null; then
                echo "SKIP: $step: no immutable files on this file system" >&2
                continue
            fi ;;
        link-missing) rm "$LINK" ;;
        link-folder) rm "$LINK" && mkdir "$LINK" && echo "a second copy" >"$LINK/logon.bat" ;;
    esac
    BEFORE=$(live_tree)
    SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\svb\full' --no-verify --sysvol </dev/null
    immutable -i
    expect_eq "failing $step: exit" 1 "$RC"
    expect_contains "failing $step: message" "SystemVolumeException ERROR: $message" "$ERR"
    expect_tree "failing $step: the live tree is as it was" "$BEFORE"
    [ "${step#link}" = "$step" ] || { rm -rf "$LINK" && ln -s ../domain "$LINK"; }
done <<CASES
staging|Directories::Copy($SAVED\domain\scripts\Zürich Büro
swap|MoveFileEx($LIVE_WIN\domain\scripts\O'Brien's scripts\map drives.cmd, $LIVE_WIN\domain\scripts\O'Brien's scripts\map drives.cmd.qmold0~) failed: Error = 0x
link-missing|Could not make the SysVol link $LIVE_WIN\sysvol\lab.example to $LIVE_WIN\domain: Error = 0x
link-folder|Could not make the SysVol link $LIVE_WIN\sysvol\lab.example to $LIVE_WIN\domain: Error = 0x
CASES
# Then the same backup restores.
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\svb\full' --no-verify --sysvol
expect_eq "restore after the failed ones: exit" 0 "$RC"
diff -r -x 'added after backup.bat' -x lab.example "$COPY" "$LIVE" >/dev/null ||
    fail "restore after the failed ones: the live tree differs from the copy"
expect_eq "restores leave the backup folder as it was" "$BACKUP_BEFORE" "$(backup_hashes)"

finish
