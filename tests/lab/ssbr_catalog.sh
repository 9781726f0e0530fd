#!/bin/bash
# ssbr's catalog in a lab machine: SHA256SUMS that sha256sum -c accepts, backup.json with the
# outcome of every component asked for, verify naming each kind of damage, restore refusing a
# damaged backup, list/status/verify --json read by a real parser, and the progress line only on
# a terminal.
source "$(dirname "$0")/lib/common.bash"

provision ssbr-catalog --os 2003
M=$MACHINES/ssbr-catalog
C=$M/drive_c/cat
machines_ready
rm -rf "$C"
mkdir -p "$C"

# json FILE PYTHON-EXPRESSION: the expression's value over the parsed document `d`.
json() {
    python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$1" "$2" 2>&1
}
# json_out EXPRESSION: the same over $OUT.
json_out() {
    printf '%s' "$OUT" >"$C/out.json"
    json "$C/out.json" "$1"
}

# --- a registry backup and its catalog -----------------------------------------------------------
run_in "$M" ssbr backup 'C:\cat\b' --registry
expect_eq "backup: exit" 0 "$RC"
FILES=$(find "$C/b" -type f | wc -l) REGFILES=$(($(find "$C/b/Reg" -type f | wc -l) + 1))
(cd "$C/b" && sha256sum --quiet -c SHA256SUMS) >/dev/null 2>&1 || fail "sha256sum -c rejects the catalog: $(cd "$C/b" && sha256sum -c SHA256SUMS 2>&1 | grep -v ': OK$')"
expect_eq "every file below the target is listed" "$(cd "$C/b" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort)" \
    "$(sed 's/^[0-9a-f]*  //' "$C/b/SHA256SUMS" | sort)"
for check in "d['machine'] != '' and d['windows']['version'] == '5.2' and d['windows']['productType'] == 'server' and \
d['roles'] == {'domainController': False, 'clusterNode': False, 'certificateServices': False, 'restoreMode': False}" \
    "d['requested'] == ['registry'] and [(c['id'], c['outcome'], c['files']) for c in d['components']] == [('registry', 'done', $REGFILES)]" \
    "d['files'] == $REGFILES and d['bytes'] > 0 and d['durationSeconds'] > 0 and d['moduleVersion'] == '1.0.0.0' and \
len(d['time']) == 20 and d['time'].endswith('Z')"; do
    expect_eq "backup.json: $check" True "$(json "$C/b/backup.json" "$check")"
done

run_in "$M" ssbr verify 'C:\cat\b'
expect_contains "verify a whole backup: exit and verdict" "0 The backup in C:\\cat\\b is whole: $((FILES - 1)) files" "$RC $OUT"

run_in "$M" ssbr list 'C:\cat\b' --json
expect_eq "list --json" True "$(json_out "d['catalog'] == {'sums': True, 'info': True} and d['totalFiles'] == $FILES and \
[c['id'] for c in d['components'] if c['held']] == ['registry'] and d['components'][0]['files'] == $REGFILES and \
{'path': 'Reg/C/WINDOWS/system32/config/software', 'component': 'registry', 'livePath': 'C:\\\\WINDOWS\\\\system32\\\\config\\\\software'}.items() <= \
[f for f in d['files'] if f['path'].endswith('config/software')][0].items()")"
run_in "$M" ssbr list 'C:\cat\b'
expect_contains "list: the live path" 'Reg/C/WINDOWS/system32/config/SAM  <- C:\WINDOWS\system32\config\SAM' "$OUT"

run_in "$M" ssbr status --json
expect_eq "status --json" True "$(json_out "d['roles'] == json.load(open('$C/b/backup.json'))['roles'] and \
d['directoryServiceOnline'] is None and d['directoryServiceError'] != ''")"

# --- damage: each kind is named, and restore refuses it ------------------------------------------
# A flipped bit, a deleted file, an added one, and the registry restore's by-product beside a
# hive (not damage).
HIVE=Reg/C/WINDOWS/system32/config/software
cp -r "$C/b" "$C/mixed" && rm "$C/mixed/Reg/C/WINDOWS/system32/config/SAM" && echo stray >"$C/mixed/Reg/C/stray.txt" &&
    echo prepared >"$C/mixed/$HIVE.tmp" && python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(100)
b = f.read(1); f.seek(100); f.write(bytes([b[0] ^ 0x80]))' "$C/mixed/$HIVE"
run_in "$M" ssbr verify 'C:\cat\mixed'
expect_eq "verify names each damaged file" "1 restore by-product (not damage): $HIVE.tmp
missing: Reg/C/WINDOWS/system32/config/SAM
changed: $HIVE
extra: Reg/C/stray.txt
The backup in C:\cat\mixed is damaged: 1 missing, 1 changed, 1 extra." "$RC $OUT"
run_in "$M" ssbr verify 'C:\cat\mixed' --json
expect_eq "verify --json" True "$(json_out "d['whole'] is False and d['missing'] == ['Reg/C/WINDOWS/system32/config/SAM'] and \
d['changed'] == ['$HIVE'] and d['extra'] == ['Reg/C/stray.txt'] and \
d['catalogMissing'] is False and d['byproducts'] == ['$HIVE.tmp'] and d['checkedFiles'] == $((FILES - 2))")"
cp -r "$C/b" "$C/nocatalog" && rm "$C/nocatalog/SHA256SUMS"
run_in "$M" ssbr verify 'C:\cat\nocatalog'
expect_eq "verify without a catalog" "1 catalog missing: SHA256SUMS (a backup that failed, or not one of ssbr's)
The backup in C:\cat\nocatalog is damaged: 0 missing, 0 changed, 0 extra, no catalog." "$RC $OUT"

run_in "$M" ssbr restore 'C:\cat\mixed' --registry
expect_eq "restore from a damaged backup: exit" 1 "$RC"
expect_contains "restore from a damaged backup names the damage and refuses" "1 extra.
ssbr: not restoring from a damaged backup; nothing was restored (--no-verify restores anyway)" "$ERR"
[ -z "$(find "$M/drive_c/SystemStateRestore" -name '*.tmp' 2>/dev/null)" ] || fail "restore prepared hives from a damaged backup"

# Asked to, it restores from a backup it cannot check.
run_in "$M" ssbr restore 'C:\cat\nocatalog' --registry --no-verify
expect_eq "restore --no-verify from a damaged backup: exit" 0 "$RC"

# --- a verified restore leaves the backup whole ------------------------------------------------
rm -rf "$M/drive_c/SystemStateRestore"
run_in "$M" ssbr restore 'C:\cat\b' --all
expect_eq "restore --all: exit" 0 "$RC"
run_in "$M" ssbr verify 'C:\cat\b'
expect_eq "verify after a restore: exit and by-products" "0 " "$RC $(grep 'by-product' <<<"$OUT")"

run_in "$M" ssbr restore 'C:\cat\b' --registry --sysvol
expect_eq "restore of a component the backup lacks" \
    "1 ssbr: the backup in C:\\cat\\b holds no SysVol (it holds: registry); nothing was restored" "$RC $ERR"

# --- no silent skip ----------------------------------------------------------------------------
run_in "$M" ssbr backup 'C:\cat\skip' --registry --active-directory
expect_eq "backup.json records the skip" True "$(json "$C/skip/backup.json" "[(c['id'], c['outcome'], c['reason']) for c in d['components']] == \
[('active-directory', 'skipped', 'this machine is not a domain controller'), ('registry', 'done', None)]")"

# A backup that fails leaves no catalog: without its catalog folder the boot-files backup fails.
CATROOT=$M/drive_c/windows/system32/catroot
mv "$CATROOT" "$CATROOT.aside"
run_in "$M" ssbr backup 'C:\cat\skip' --registry --boot-files
mv "$CATROOT.aside" "$CATROOT"
expect_eq "a failed backup: exit" 1 "$RC"
[ -e "$C/skip/SHA256SUMS" ] || [ -e "$C/skip/backup.json" ] && fail "a failed backup left a catalog"

# --- progress line: only on a terminal ---------------------------------------------------------
source "$LAB/machine.bash"
machine_env "$M"
TTY_LOG=$C/tty.txt
# Wine draws its console on the terminal with escape sequences, a blank as erase-and-step: what
# the line said is the text without them and without blanks.
screen() {
    sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$TTY_LOG" | tr -d ' \r\n'
}
script -qec "wine ssbr backup 'C:\\cat\\p' --registry" "$TTY_LOG" >/dev/null 2>&1 </dev/null
expect_contains "progress on a terminal names the component" "writtenregistry" "$(screen)"
script -qec "wine ssbr backup 'C:\\cat\\p' --registry --quiet" "$TTY_LOG" >/dev/null 2>&1 </dev/null
expect_contains "--quiet on a terminal: the outcome" "registry:done" "$(screen)"
case $(screen) in *"ssbr:backup0:"*) fail "progress line despite --quiet" ;; esac
run_in "$M" ssbr backup 'C:\cat\p' --registry
expect_eq "no progress into a file: stderr" "" "$ERR"

finish
