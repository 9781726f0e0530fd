#!/bin/bash
# The registry restore through ssbr in a lab machine: every saved hive gets its replacement file
# "C:\SystemStateRestore\Registry\<filepath>.tmp" in the staging folder of the live hive's volume
# (a stale one is replaced) with the live hive file's security, and the platform is asked to swap
# it in and keep the live hive beside it as ".bak" (Wine's replace call does nothing but report
# its arguments as a fixme line); SYSTEM's takes every key, child key and value that the live
# KeysNotToRestore list names from the live system as it is at restore time (including a service
# installed after the backup), SOFTWARE's has an empty LastAliveStamp, a user hive that is not
# loaded is prepared without error, no saved hive stays loaded, and the backup folder is byte for
# byte as it was (ssbr verify finds it whole, with no by-products). Restores that fail part way:
# tests/lab/reliability/registry.bash; backups that must be refused: tests/lab/hostile/registry.bash.
source "$(dirname "$0")/lib/common.bash"
source "$(dirname "$0")/lib/hives.bash"

lab_machine registry-restore --os 2003
STAGING='C:\SystemStateRestore\Registry'
STAGED_CONFIG="$STAGING\\C\\WINDOWS\\system32\\config"

run_in "$MACHINE" ssbr backup 'C:\bk' --registry
expect_eq "backup: exit" 0 "$RC"
BACKUP_BEFORE=$(tree_hashes "$C/bk")

# What the backup saved, as lines of the manifest's filepath attribute.
SAVED=$(grep -o 'filepath="[^"]*"' "$C/bk/RegistryBackupSet.xml" | sed 's/^filepath="//; s/"$//')
expect_eq "saved hives" 9 "$(printf '%s\n' "$SAVED" | grep -c .)"

# --- the live system changes after the backup ---------------------------------------------
mkdir -p "$C/live"
cat >"$C/live/changes.reg" <<'EOF'
REGEDIT4

; Key entries: changed, added and removed keys.
[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\Root\LEGACY_TCPIP\0000]
"DeviceDesc"="TCP/IP Protocol Driver, changed since the backup"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Enum\Root\LEGACY_QMLABSERVICE\0000]
"Service"="QmLabService"

[-HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Control\NTMS\Restore]

[HKEY_LOCAL_MACHINE\SYSTEM\MountedDevices]
"\\DosDevices\\E:"=hex:5c,00,3f,00,3f,00

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\NtFrs\Parameters\Backup/Restore\Process at Startup]
"BurFlags"=dword:000000d2

; Children of Services: Netlogon starts earlier now (3 -> 2), Spooler later (2 -> 4), the
; counters have no start value, Tcpip keeps its start, and QmLabService is new.
[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\Netlogon]
"Start"=dword:00000002
"DisplayName"="Net Logon, changed since the backup"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\Spooler]
"Start"=dword:00000004
"DisplayName"="Print Spooler, changed since the backup"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\.NET CLR Data\Performance]
"Open"="OpenChanged"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\Tcpip\Parameters]
"Hostname"="LABSRV02"

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\QmLabService]
"DisplayName"="Lab service installed after the backup"
"ImagePath"="C:\\lab\\qmlabservice.exe"
"Start"=dword:00000003
"Type"=dword:00000010

[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\QmLabService\Parameters]
"Setting"="live"

; Value entries.
[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Control\Session Manager]
"AllowProtectedRenames"=dword:00000000
"PendingFileRenameOperations"=hex(7):5c,3f,3f,5c,43,3a,5c,6c,61,62,5c,6e,65,77,2e,64,6c,6c,00,00
"BootExecute"=hex(7):63,68,61,6e,67,65,64,00,00

; Not listed: the saved values stay.
[HKEY_LOCAL_MACHINE\SYSTEM\Setup]
"SystemPartition"="\\Device\\HarddiskVolume2"

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Reliability]
"TimeStampInterval"=dword:00000005
EOF
run_in "$MACHINE" regedit /S 'C:\live\changes.reg'
expect_eq "changing the live system: exit" 0 "$RC"
mkdir -p "$(unix_path "$MACHINE" "$STAGED_CONFIG")"
printf 'left over from an earlier attempt\n' >"$(unix_path "$MACHINE" "$STAGED_CONFIG\\SAM.tmp")"
# The live SAM hive's file lets no one in but its owner and SYSTEM (Wine keeps a file's list as
# its mode bits).
LIVE_SAM=$(unix_path "$MACHINE" 'C:\WINDOWS\system32\config\SAM')
mkdir -p "$(dirname "$LIVE_SAM")"
printf 'the live hive\n' >"$LIVE_SAM"
chmod 600 "$LIVE_SAM"

# --- the restore: the network service's user has logged off since the backup -----------------
WINEDEBUG=-all,fixme+reg run_in "$MACHINE" cmd /c "reg delete HKU\\S-1-5-20 /f & hivetool loaded HKU\\S-1-5-20 > C:\\live\\before.txt & ssbr restore C:\\bk --registry & hivetool loaded HKU\\S-1-5-20 > C:\\live\\after.txt & reg query HKLM > C:\\live\\hklm.txt & reg query HKU > C:\\live\\hku.txt & sectool show C:\\WINDOWS\\system32\\config\\SAM $STAGED_CONFIG\\SAM.tmp > C:\\live\\security.txt"
expect_eq "the network service's hive is not loaded at restore time" absent "$(tr -d '\r' <"$C/live/before.txt")"
expect_eq "the restore loads no user hive" absent "$(tr -d '\r' <"$C/live/after.txt")"
# The chain's exit code is the last command's: the restore's result shows in its summary line.
expect_contains "restore: summary" 'Restore of registry from C:\bk completed' "$OUT"
expect_eq "restore: errors" "" "$(printf '%s\n' "$ERR" | grep -i 'exception')"
RESTORE_ERR=$ERR

# --- the backup folder is only read ---------------------------------------------------------------
expect_eq "the backup after the restore" "$BACKUP_BEFORE" "$(tree_hashes "$C/bk")"
run_in "$MACHINE" ssbr verify 'C:\bk'
expect_eq "verify after the restore: exit" 0 "$RC"
expect_eq "verify after the restore: by-products" "" "$(grep -i 'by-product' <<<"$OUT")"

# --- what the platform was asked to swap: each loaded hive's replacement, its old hive beside it --
# Wine's replace call reports (key, subkey, new file, old file); the network service's hive is
# not loaded and is not asked for.
replaced() { grep -o 'RegReplaceKeyW (.*): stub' <<<"$RESTORE_ERR" | sed 's/^RegReplaceKeyW ([^,]*,//; s/): stub$//; s/\\\\/\\/g; s/L"//g; s/"//g' | sort; }
EXPECTED_REPLACED=$(while read -r filepath; do
    [ "$filepath" = 'C\Documents and Settings\NetworkService\NTUSER.DAT' ] && continue
    printf '(null),C:\\SystemStateRestore\\Registry\\%s.tmp,C:\\SystemStateRestore\\Registry\\%s.bak\n' "$filepath" "$filepath"
done <<<"$SAVED" | sort)
expect_eq "replacements asked for" "$EXPECTED_REPLACED" "$(replaced)"

# --- the replacement's security (the staging folder's: the unit tests) ----------------------------------------------
mapfile -t SECURITY < <(tr -d '\r' <"$C/live/security.txt")
expect_closed "the live SAM" "${SECURITY[0]}"
expect_eq "SAM.tmp: the live hive file's security" "${SECURITY[0]}" "${SECURITY[1]}"
expect_contains "the machine keys after the restore" 'HKEY_LOCAL_MACHINE\SAM' "$(cat "$C/live/hklm.txt")"
expect_eq "no saved hive left loaded" "" "$(cat "$C/live/hklm.txt" "$C/live/hku.txt" | grep -i 'TMP_')"

# In one session: the live SYSTEM as the restore saw it (nothing but this test changes
# ControlSet001), every saved hive and its replacement, into C:\live\<path with _>.saved|.tmp.
{
    echo 'hivetool key HKLM\SYSTEM > C:\live\live-system.txt'
    while read -r filepath; do
        read_hive "C:\\bk\\Reg\\$filepath" "C:\\live\\${filepath//[\\ ]/_}.saved"
        read_hive "$STAGING\\$filepath.tmp" "C:\\live\\${filepath//[\\ ]/_}.tmp"
    done <<<"$SAVED"
} >"$C/live/read.cmd"
run_in "$MACHINE" cmd /c 'C:\live\read.cmd'
sed -i 's/\r$//' "$C"/live/*.saved "$C"/live/*.tmp "$C/live/live-system.txt"
expect_eq "hive files that did not load" "" "$(cat "$C/live/failed.txt" 2>/dev/null)"
# dumped FILEPATH saved|tmp: the dump of the saved hive or of its replacement.
dumped() { printf '%s/live/%s.%s' "$C" "${1//[\\ ]/_}" "$2"; }

# --- every hive but SYSTEM and SOFTWARE: the replacement is the saved hive --------------------
while read -r filepath; do
    saved="C:\\bk\\Reg\\$filepath"
    [ -f "$(unix_path "$MACHINE" "$STAGING\\$filepath.tmp")" ] || { fail "no replacement for $saved"; continue; }
    case $filepath in
        *'\config\system' | *'\config\software') continue ;;
    esac
    cmp -s "$(dumped "$filepath" saved)" "$(dumped "$filepath" tmp)" ||
        fail "the replacement of $saved differs from the saved hive: $(diff "$(dumped "$filepath" saved)" "$(dumped "$filepath" tmp)" | head -5)"
    [ "$(grep -c '^\[' "$(dumped "$filepath" tmp)")" -ge 2 ] || fail "the replacement of $saved holds nothing"
done <<<"$SAVED"
grep -q 'left over' "$(unix_path "$MACHINE" "$STAGED_CONFIG\\SAM.tmp")" && fail "the stale SAM.tmp was not replaced"

# --- SOFTWARE: only LastAliveStamp changed, to an empty string ----------------------------------
SOFTWARE='C\WINDOWS\system32\config\software'
expect_eq "SOFTWARE.tmp against the saved SOFTWARE" \
    $'< LastAliveStamp = REG_BINARY 40,2f,4c,b1,63,d8,d9,01\n---\n> LastAliveStamp = REG_SZ ' \
    "$(diff "$(dumped "$SOFTWARE" saved)" "$(dumped "$SOFTWARE" tmp)" | grep -v '^[0-9]')"

# --- SYSTEM: the listed keys, children and values come from the live system ------------------
# subtree FILE KEY: the sections of KEY and everything below it.
subtree() { awk -v key="[$2]" -v below="[$2\\\\" '/^\[/ { inside = ($0 == key || index($0, below) == 1) } inside' "$1"; }
# section FILE KEY: the values of KEY alone.
section() { awk -v key="[$2]" '/^\[/ { inside = ($0 == key); next } inside' "$1"; }

LIVE_SYSTEM=$C/live/live-system.txt
SAVED_SYSTEM=$(dumped 'C\WINDOWS\system32\config\system' saved)
REPLACEMENT=$(dumped 'C\WINDOWS\system32\config\system' tmp)
for key in 'ControlSet001\Enum' 'ControlSet001\Control\CriticalDeviceDatabase' 'MountedDevices' \
    'ControlSet001\Services\NtFrs\Parameters\Backup/Restore\Process at Startup' \
    'ControlSet001\Services\Netlogon' 'ControlSet001\Services\QmLabService'; do
    live=$(subtree "$LIVE_SYSTEM" "$key")
    [ -n "$live" ] || fail "the live system has no $key"
    expect_eq "SYSTEM.tmp takes the live $key" "$live" "$(subtree "$REPLACEMENT" "$key")"
done
for key in 'ControlSet001\Services\Spooler' 'ControlSet001\Services\.NET CLR Data' \
    'ControlSet001\Services\Tcpip' 'Setup'; do
    saved=$(subtree "$SAVED_SYSTEM" "$key")
    [ -n "$saved" ] || fail "the saved SYSTEM has no $key"
    expect_eq "SYSTEM.tmp keeps the saved $key" "$saved" "$(subtree "$REPLACEMENT" "$key")"
done
for key in 'ControlSet001\Control\NTMS\Restore' 'ControlSet001\Control\ASR' 'ControlSet001\Control\MSDTC' \
    'ControlSet001\Services\NTDS'; do
    expect_eq "SYSTEM.tmp has no $key" "" "$(subtree "$REPLACEMENT" "$key")"
done
SM_KEY='ControlSet001\Control\Session Manager'
# Its listed values (AllowProtectedRenames, PendingFileRenameOperations) are the live ones, the
# others (BootExecute) the saved ones.
expect_eq "SYSTEM.tmp: the session manager's values" \
    "$({ section "$LIVE_SYSTEM" "$SM_KEY" | grep -v '^BootExecute'
         section "$SAVED_SYSTEM" "$SM_KEY" | grep '^BootExecute'; } | sort)" \
    "$(section "$REPLACEMENT" "$SM_KEY" | sort)"
expect_contains "SYSTEM.tmp: pending renames carried over" 'PendingFileRenameOperations = REG_MULTI_SZ' \
    "$(section "$REPLACEMENT" "$SM_KEY")"
# Everything outside the listed keys is the saved hive's.
unlisted() {
    awk '/^\[/ { skip = ($0 ~ /^\[(ControlSet001\\(Enum|Services|Control\\(CriticalDeviceDatabase|NTMS|Session Manager))|MountedDevices)([]\\])/) } !skip' "$1"
}
expect_eq "SYSTEM.tmp outside the listed keys" "$(unlisted "$SAVED_SYSTEM")" "$(unlisted "$REPLACEMENT")"

finish
