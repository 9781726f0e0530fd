#!/bin/bash
# SysVol and the COM+ catalog through ssbr on a lab domain controller: the backup's layout and
# manifest, every name of the tree carried byte for byte, the tree's folder links recorded as
# links; a restore that overwrites what the copy holds, keeps other live files and live links,
# runs only in restore mode, refuses a backup inside the live tree and a copy that holds a folder
# where the live tree has a link before it writes anything, and undoes what it did when making a
# recorded link fails; the catalog's one file and a changed catalog brought back. Backups that
# must be refused: tests/lab/hostile/{sysvol,complus}.bash; restores that fail while staging or
# swapping: tests/lab/reliability/sysvol.bash.
source "$(dirname "$0")/lib/common.bash"

lab_machine sysvol-complus-dc --os 2003 --role dc
SVB=$C/svb
LIVE=$C/windows/SYSVOL
CATALOG='HKLM\Software\Harborline Lab\COM+ Catalog'
SCRIPTS=$LIVE/domain/scripts
DEEP=$(find "$LIVE" -name 'Long path file.txt')
UMLAUT="$SCRIPTS/Zürich Büro/Anmeldung für Büro.cmd"
GREEK="$SCRIPTS/Zürich Büro/Δοκιμή 日本.dat"
APOSTROPHE="$SCRIPTS/O'Brien's scripts/map drives.cmd"
rm -rf "$SVB" && mkdir -p "$SVB"
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
steps_run "$MACHINE"
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

# --- the live system changes -------------------------------------------------------------------
for file in "$DEEP" "$UMLAUT" "$GREEK" "$APOSTROPHE" "$SCRIPTS/logon.bat"; do echo "changed since the backup" >"$file"; done
echo "added since the backup" >"$SCRIPTS/added after backup.bat"
# A backup whose copy holds sysvol\lab.example as a plain folder, where the live tree has the
# link: a copy laid over it would be written through the link.
cp -a "$FULL" "$SVB/plain-copy"
mkdir "$SVB/plain-copy/SysVol/C/windows/SysVol/sysvol/lab.example"
echo "a second copy" >"$SVB/plain-copy/SysVol/C/windows/SysVol/sysvol/lab.example/logon.bat"
sed -i 's|<link [^/]*/link>||g' "$SVB/plain-copy/SystemVolumeBackupSet.xml"
# A whole backup inside the live tree the restore writes.
cp -a "$FULL" "$LIVE/inside"

# --- refused restores: nothing is written to the live tree ---------------------------------------
step - 'set SAFEBOOT_OPTION=DSREPAIR'
step sysvol-plain-copy 'ssbr restore C:\svb\plain-copy --no-verify --sysvol'
step sysvol-inside 'ssbr restore C:\windows\SYSVOL\inside --no-verify --sysvol'
LIVE_BEFORE=$(live_tree)
steps_run "$MACHINE"
expect_tree "refused restores leave the live tree" "$LIVE_BEFORE"
rm -rf "$LIVE/inside"
while IFS='|' read -r folder message; do
    result "sysvol-$folder"
    expect_exit "SysVol restore from $folder" 1 "SystemVolumeException ERROR: $message"
done <<'CASES'
plain-copy|The live SysVol has a link at C:\windows\SysVol\sysvol\lab.example where the backup has a folder; nothing was restored
inside|The backup folder C:\windows\SYSVOL\inside lies in C:\windows\SysVol, which the restore writes
CASES

step change-catalog "reg delete \"$CATALOG\\Applications\\{6B1C7A2E-5D3F-4B8A-9C21-3E7F0A1D2B44}\" /f"
step add-to-catalog "reg add \"$CATALOG\\Applications\\{BEEF}\" /v Name /d Later /f"
step catalog-changed "reg query \"$CATALOG\" /s"
step outside-mode 'ssbr restore C:\svb\full --no-verify --sysvol'
step outside-mode-tree 'type C:\windows\SYSVOL\domain\scripts\logon.bat'
step - 'set SAFEBOOT_OPTION=DSREPAIR'
step restore 'ssbr restore C:\svb\full --no-verify --sysvol --complus'
step catalog-restored "reg query \"$CATALOG\" /s"
steps_run "$MACHINE"

result catalog-changed
CATALOG_CHANGED=$OUT
[ "$CATALOG_CHANGED" != "$CATALOG_AT_BACKUP" ] || fail "the catalog did not change"

# --- outside restore mode SysVol is passed over --------------------------------------------------
result outside-mode
expect_eq "restore outside restore mode: exit (SysVol skipped)" 3 "$RC"
result outside-mode-tree
expect_eq "restore outside restore mode leaves the tree" "changed since the backup" "$OUT"

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

# --- making a recorded link fails where the live tree lacks it or holds a plain folder instead (the
# second copy an older restore left): Wine cannot make a folder link, so that is the last step,
# after every file was swapped, and all of it is undone. The backup folder is only read.
LINK=$LIVE/sysvol/lab.example LIVE_WIN='C:\windows\SysVol'
BACKUP_BEFORE=$(tree_hashes "$FULL")
for case in missing folder; do
    echo "changed again" >"$SCRIPTS/logon.bat"
    rm "$LINK"
    [ $case = missing ] || { mkdir "$LINK" && echo "a second copy" >"$LINK/logon.bat"; }
    BEFORE=$(live_tree)
    SAFEBOOT_OPTION=DSREPAIR run_in "$MACHINE" ssbr restore 'C:\svb\full' --no-verify --sysvol
    expect_exit "link $case" 1 \
        "SystemVolumeException ERROR: Could not make the SysVol link $LIVE_WIN\\sysvol\\lab.example to $LIVE_WIN\\domain: Error = 0x"
    expect_tree "link $case: the live tree is as it was" "$BEFORE"
    rm -rf "$LINK" && ln -s ../domain "$LINK"
done
# Then the same backup restores.
SAFEBOOT_OPTION=DSREPAIR run_in "$MACHINE" ssbr restore 'C:\svb\full' --no-verify --sysvol
expect_eq "restore after the failed ones: exit" 0 "$RC"
diff -r -x 'added after backup.bat' -x lab.example "$COPY" "$LIVE" >/dev/null ||
    fail "restore after the failed ones: the live tree differs from the copy"
expect_eq "restores leave the backup folder as it was" "$BACKUP_BEFORE" "$(tree_hashes "$FULL")"

finish
