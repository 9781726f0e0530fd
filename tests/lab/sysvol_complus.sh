#!/bin/bash
# SysVol and the COM+ catalog through ssbr on a lab domain controller: the backup's layout and
# manifest, every name of the tree carried byte for byte, a restore that overwrites what the copy
# holds and keeps other live files, runs only in restore mode and refuses a folder without a
# SysVol backup; the catalog's one file, a changed catalog brought back, and a missing or damaged
# file failing with the catalog's code.
source "$(dirname "$0")/lib/common.bash"

provision sysvol-complus-dc --os 2003 --role dc
machines_ready
DC=$MACHINES/sysvol-complus-dc
C=$DC/drive_c
LIVE=$C/windows/SYSVOL
CATALOG='HKLM\Software\Harborline Lab\COM+ Catalog'
PAYROLL="$CATALOG\\Applications\\{6B1C7A2E-5D3F-4B8A-9C21-3E7F0A1D2B44}"
SCRIPTS=$LIVE/domain/scripts
DEEP=$(find "$LIVE" -name 'Long path file.txt')
UMLAUT="$SCRIPTS/Zürich Büro/Anmeldung für Büro.cmd"
GREEK="$SCRIPTS/Zürich Büro/Δοκιμή 日本.dat"
APOSTROPHE="$SCRIPTS/O'Brien's scripts/map drives.cmd"
rm -rf "$C/svb"
mkdir -p "$C/svb/empty"

catalog() {
    run_in "$DC" reg query "$CATALOG" /s
    printf '%s' "$OUT"
}

# --- backup --------------------------------------------------------------------------------------
# The machine's tree must hold what the copy has to carry.
deep_windows="C:\\windows\\SYSVOL${DEEP#"$LIVE"}"
((${#deep_windows} > 260)) && [ -f "$UMLAUT" ] && [ -f "$GREEK" ] && [ -f "$APOSTROPHE" ] ||
    fail "the lab tree lacks a deep, non-ASCII or apostrophe name"

CATALOG_AT_BACKUP=$(catalog)
expect_contains "the lab catalog holds its applications" "Harborline Payroll" "$CATALOG_AT_BACKUP"
run_in "$DC" ssbr backup 'C:\svb\full' --sysvol --complus
expect_eq "backup: exit" 0 "$RC"
expect_eq "backup: stderr" "" "$ERR"
FULL=$C/svb/full
expect_eq "backup: top level" "SysVol SystemVolumeBackupSet.xml comDB.reg" "$(cd "$FULL" && ls | sort | xargs)"
expect_eq "backup: copy folder" "SysVol/C/windows/SysVol" "$(cd "$FULL" && find SysVol -maxdepth 3 -mindepth 3)"
expect_eq "backup: manifest" "<BackupSet type=\"SystemVolume\"><directory>C\\windows\\SysVol</directory></BackupSet>" \
    "$(tr -d '\r\n' <"$FULL/SystemVolumeBackupSet.xml")"
COPY=$FULL/SysVol/C/windows/SysVol
# Names and contents byte for byte: diff -r compares both.
diff -r "$LIVE" "$COPY" >/dev/null || fail "backup: the copy differs from the live tree: $(diff -r "$LIVE" "$COPY" | head -3)"

run_in "$DC" ssbr backup 'C:\svb\com' --complus
expect_eq "COM+ backup: exit" 0 "$RC"
expect_eq "COM+ backup writes exactly comDB.reg" "comDB.reg" "$(cd "$C/svb/com" && find . -mindepth 1 | sed 's|^\./||' | xargs)"

# --- the live system changes ---------------------------------------------------------------------
for file in "$DEEP" "$UMLAUT" "$GREEK" "$APOSTROPHE" "$SCRIPTS/logon.bat"; do echo "changed since the backup" >"$file"; done
echo "added since the backup" >"$SCRIPTS/added after backup.bat"
# One command for the three changes; cmd does not take the quotes of a single argument apart.
printf 'reg delete "%s" /f && reg add "%s\\Applications\\{BEEF}" /v Name /d Later /f && reg add "%s" /v Version /d 2 /f\r\n' \
    "$PAYROLL" "$CATALOG" "$CATALOG" >"$C/svb/change.cmd"
run_in "$DC" cmd /c 'C:\svb\change.cmd'
expect_eq "catalog change: exit" 0 "$RC"
CATALOG_CHANGED=$(catalog)
[ "$CATALOG_CHANGED" != "$CATALOG_AT_BACKUP" ] || fail "the catalog did not change"

# --- restore outside restore mode: SysVol is passed over -----------------------------------------
run_in "$DC" ssbr restore 'C:\svb\full' --sysvol
expect_eq "restore outside restore mode: exit" 0 "$RC"
expect_eq "restore outside restore mode leaves the tree" "changed since the backup" "$(cat "$SCRIPTS/logon.bat")"

# --- a catalog file that is missing or damaged fails with the catalog's code; nothing changes -----
mkdir -p "$C/svb/damaged"
sed 's/Payroll/Paycheck/' "$FULL/comDB.reg" >"$C/svb/damaged/comDB.reg"
mkdir -p "$C/svb/truncated"
head -c 200 "$FULL/comDB.reg" >"$C/svb/truncated/comDB.reg"
while IFS='|' read -r folder code; do
    run_in "$DC" ssbr restore "C:\\svb\\$folder" --complus
    expect_eq "COM+ restore from $folder: exit" 1 "$RC"
    expect_contains "COM+ restore from $folder: message" \
        "ICOMAdminCatalog->RestoreREGDB(C:\\svb\\$folder\\comDB.reg) failed: Error = $code" "$ERR"
done <<'EOF'
empty|0x80110473
damaged|0x8011043B
truncated|0x8011043B
EOF
expect_eq "failed COM+ restores leave the catalog" "$CATALOG_CHANGED" "$(catalog)"

# --- restore in restore mode ---------------------------------------------------------------------
SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\svb\full' --sysvol --complus
expect_eq "restore: exit" 0 "$RC"
expect_eq "restore: stderr" "" "$ERR"
diff -r -x 'added after backup.bat' "$COPY" "$LIVE" >/dev/null ||
    fail "restore: the live tree differs from the copy: $(diff -r "$COPY" "$LIVE" | head -3)"
expect_eq "restore keeps a live file the copy lacks" "added since the backup" "$(cat "$SCRIPTS/added after backup.bat")"
expect_eq "restore: the catalog is back as it was at the backup" "$CATALOG_AT_BACKUP" "$(catalog)"

# --- a restore from a folder without a SysVol backup fails and creates nothing -------------------
mkdir -p "$C/svb/manifest-only"
cp "$FULL/SystemVolumeBackupSet.xml" "$C/svb/manifest-only/"
for folder in empty missing manifest-only; do
    before=$(cd "$C/svb" && find . | sort)
    SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore "C:\\svb\\$folder" --sysvol
    expect_eq "SysVol restore from $folder: exit" 1 "$RC"
    expect_contains "SysVol restore from $folder: message" "No SysVol backup in C:\\svb\\$folder" "$ERR"
    expect_eq "SysVol restore from $folder creates nothing" "$before" "$(cd "$C/svb" && find . | sort)"
done

# A manifest from elsewhere must not lead the restore out of its copy folder.
mkdir -p "$C/svb/hostile/SysVol/inside" "$C/svb/outside/SysVol"
echo "not from the backup" >"$C/svb/outside/SysVol/planted.txt"
ln -s "$C/svb/outside" "$C/svb/hostile/SysVol/link"
while IFS= read -r directory; do
    printf '<BackupSet type="SystemVolume"><directory>%s</directory></BackupSet>' "$directory" \
        >"$C/svb/hostile/SystemVolumeBackupSet.xml"
    SAFEBOOT_OPTION=DSREPAIR run_in "$DC" ssbr restore 'C:\svb\hostile' --sysvol
    expect_eq "hostile manifest [$directory]: exit" 1 "$RC"
    expect_contains "hostile manifest [$directory]: message" "Invalid SysVol copy path in C:\\svb\\hostile\\SystemVolumeBackupSet.xml: $directory" "$ERR"
done <<'EOF'
..\outside\SysVol
inside\..\..\outside\SysVol
inside\. .\..\outside\SysVol
C:\svb\outside\SysVol
link\SysVol

EOF
[ -e "$LIVE/planted.txt" ] && fail "a hostile manifest planted a file in the live tree"

finish
