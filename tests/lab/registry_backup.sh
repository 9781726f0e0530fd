#!/bin/bash
# The registry backup through ssbr in a lab machine: one saved hive file per hive list entry that
# has a file (not the boot store), laid out below Reg like the hive files on their drive, the
# manifest newest first, every saved file loading back with what the live key held at backup
# time; a listed hive that is not loaded is skipped without creating its key, one without a name
# refused (a malformed device path: the unit tests; a volume without a drive letter: libraries.sh).
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/hives.bash"

lab_machine registry-backup --os 2003
LIVE=$MACHINE/drive_c/live
HIVELIST_KEY='HKLM\System\CurrentControlSet\Control\hivelist'

# The machine's hive list in enumeration order, one "name<TAB>data" line per value.
run_in "$MACHINE" reg query "$HIVELIST_KEY"
HIVELIST=$(printf '%s\n' "$OUT" | awk -F '    ' '$3 == "REG_SZ" { print $2 "\t" $4 }')
expect_eq "hive list entries of the lab machine" 11 "$(printf '%s\n' "$HIVELIST" | grep -c .)"

# In one session: the hives' live trees, then the backup, so the trees are those at backup time.
# Each hive's files are named after its last path element (SAM, S-1-5-19, ...). SOFTWARE is saved
# as every other hive is, and walking Wine's takes long: it is only sampled.
commands=
while IFS=$'\t' read -r name data; do
    [[ $name == *'\SOFTWARE' ]] || commands+="hivetool key $(hive_key "$name") > C:\\live\\live-${name##*\\}.txt & "
done <<<"$HIVELIST"
mkdir -p "$LIVE"
run_in "$MACHINE" cmd /c "${commands}ssbr backup C:\\bk --registry"
expect_eq "backup: exit" 0 "$RC"
expect_contains "backup: summary" 'Backup of registry to C:\bk completed' "$OUT"

# --- the manifest: every hive with a file on the volume, newest (last enumerated) first --------
expected_entries=
expected_files=
SAVED_HIVES=
while IFS=$'\t' read -r name data; do
    case $data in
        '' | *'\Boot\BCD'*) continue ;;
    esac
    filepath="C\\${data#'\Device\HarddiskVolume1\'}"
    expected_entries="<file filepath=\"$filepath\" hivefile=\"$data\" hivepath=\"$name\"/>"$'\n'$expected_entries
    expected_files+="Reg/${filepath//\\//}"$'\n'
    SAVED_HIVES+="$name"$'\n'
    read_hive "C:\\bk\\Reg\\$filepath" "C:\\live\\saved-${name##*\\}.txt"
done <<<"$HIVELIST" >"$LIVE/read-saved.cmd"
MANIFEST=$MACHINE/drive_c/bk/RegistryBackupSet.xml
expect_eq "manifest entries" "${expected_entries%$'\n'}" "$(grep -o '<file [^>]*>' "$MANIFEST")"
expect_contains "manifest root" '<BackupSet type="Registry"><files>' "$(cat "$MANIFEST")"

# --- the files: exactly one per entry, where the manifest says -------------------------------
expect_eq "saved hive files" "$(printf '%s' "$expected_files" | sort)" \
    "$(cd "$MACHINE/drive_c/bk" && find Reg -type f | sort)"

# --- each saved file loads back and holds what the live key held -----------------------------
run_in "$MACHINE" cmd /c 'C:\live\read-saved.cmd'
expect_eq "saved hives that did not load" "" "$(cat "$LIVE/failed.txt" 2>/dev/null)"
sed -i 's/\r$//' "$LIVE"/*.txt
while read -r name; do
    saved=$LIVE/saved-${name##*\\}.txt live=$LIVE/live-${name##*\\}.txt
    case $name in
        # The lab's own hives have no volatile keys: the saved tree is the live one, exactly.
        *'\SAM' | *'\SECURITY' | *'\S-1-5-18' | *'\S-1-5-19' | *'\S-1-5-20')
            cmp -s "$live" "$saved" || fail "the saved $name differs from the live one: $(diff "$live" "$saved" | head -10)"
            [ "$(grep -c '^\[' "$saved")" -ge 2 ] || fail "the saved $name holds nothing" ;;
        *'\SOFTWARE') ;; # sampled below
        *) compare_trees "the saved $name against the live one" "$live" "$saved" ;;
    esac
done <<<"${SAVED_HIVES%$'\n'}"

# Sampled from the lab's registry data, so a wrong key saved under the right name shows.
expect_contains "SAM holds the administrator" "[SAM\\Domains\\Account\\Users\\000001F4]"$'\n'"F = REG_BINARY 02,00,01,00" "$(cat "$LIVE/saved-SAM.txt")"
expect_contains "SYSTEM holds the services" "[ControlSet001\\Services\\Netlogon]" "$(cat "$LIVE/saved-SYSTEM.txt")"
expect_contains "SYSTEM holds the control set selection" "Default = REG_DWORD 1" "$(cat "$LIVE/saved-SYSTEM.txt")"
expect_contains "SOFTWARE holds the last alive stamp" "[Microsoft\\Windows\\CurrentVersion\\Reliability]"$'\n'"LastAliveStamp = REG_BINARY 40,2f,4c,b1,63,d8,d9,01" \
    "$(cat "$LIVE/saved-SOFTWARE.txt")"
expect_contains "S-1-5-19 is the local service's hive" 'Logon User Name = REG_SZ LOCAL SERVICE' "$(cat "$LIVE/saved-S-1-5-19.txt")"

# --- failures ---------------------------------------------------------------------------------
# A listed hive that is not loaded (skipped, and the backup creates no key for it); an entry
# without a hive name (it would save a whole root).
step - "reg add $HIVELIST_KEY /v \\REGISTRY\\MACHINE\\QMNOTLOADED /d \\Device\\HarddiskVolume1\\qm\\notloaded /f >nul"
step notloaded 'ssbr backup C:\bk-notloaded --registry'
step notloaded-key 'hivetool loaded HKLM\QMNOTLOADED'
step - "reg add $HIVELIST_KEY /v \\REGISTRY\\MACHINE\\ /d \\Device\\HarddiskVolume1\\qm\\root /f >nul"
step root 'ssbr backup C:\bk-root --registry'
steps_run "$MACHINE"
result notloaded
expect_contains "hive not loaded: backup" 'Backup of registry to C:\bk-notloaded completed' "$OUT"
expect_eq "hive not loaded: not listed" "" "$(grep -io 'QMNOTLOADED' "$MACHINE/drive_c/bk-notloaded/RegistryBackupSet.xml")"
[ -e "$MACHINE/drive_c/bk-notloaded/Reg/C/qm" ] && fail "hive not loaded: a file was saved for it"
result notloaded-key
expect_contains "hive not loaded: no key made" absent "$OUT"
result root
expect_exit "no hive name" 1 \
    $'RegistryServiceException ERROR: Invalid hive path in System\\CurrentControlSet\\Control\\hivelist: \\REGISTRY\\MACHINE\\\n'

finish
