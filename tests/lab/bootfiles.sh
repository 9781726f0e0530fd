#!/bin/bash
# The boot-files component through ssbr in a lab 2003 server: the backup's layout and manifest, a
# protected file listed twice and one missing, a machine without NtBootDD.sys, failures that name
# the call and path and keep what was saved, a restore of a backup taken under other paths, and the restore from a second drive carried out by a restart: every changed live file holds its saved content again (the 2003 web
# server's MetaBase.xml and MBSchema.xml and both key stores among them), the backup is whole and
# no staging folder is left. Restores that fail part way: tests/lab/reliability/bootfiles.bash;
# backups that must be refused: tests/lab/hostile/bootfiles.bash.
source "$(dirname "$0")/lib/common.bash"

lab_machine bootfiles --os 2003
CATALOG='windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}'

# The live files by their lower-case paths: the backup writes "System32" where the machine has
# "system32". Read once; a delayed rename keeps the name that the replaced file had.
declare -A LIVE
while read -r path; do LIVE[${path,,}]=$path; done < <(find "$C" -maxdepth 1 -type f; find "$C/windows/system32" \
    "$C/windows/Fonts" "$C/windows/WfpCache" "$C/ProgramData/Microsoft/Crypto" -type f)
live() { local path=$C/$1; echo "${LIVE[${path,,}]:-$path}"; }

# The live file (below drive_c) of a saved file (below the backup folder).
live_of() {
    case $1 in
        SfcDllCache/*) live "windows/WfpCache/${1#SfcDllCache/}" ;;
        *) local rest=${1#*/}; live "${rest#*/}" ;;
    esac
}

METABASE='C:\windows\system32\inetsrv\MetaBase.xml'
step backup 'ssbr backup E:\bk --boot-files'
step - 'move C:\NtBootDD.sys C:\steps-aside\NtBootDD.sys'
step backup-noscsi 'ssbr backup C:\bk-noscsi --boot-files'
step - 'move C:\steps-aside\NtBootDD.sys C:\NtBootDD.sys'
step - "move $METABASE C:\\steps-aside\\MetaBase.xml"
step - "mkdir $METABASE"
step backup-fail 'ssbr backup C:\bk-fail --boot-files'
step - "rmdir $METABASE"
step - "move C:\\steps-aside\\MetaBase.xml $METABASE"
mkdir -p "$C/steps-aside"
steps_run "$MACHINE"

# --- backup onto the second drive -------------------------------------------------------------
result backup
expect_eq "backup: exit" 0 "$RC"
expect_contains "backup: summary" 'Backup of boot files to E:\bk completed' "$OUT"
expect_eq "manifest" '<BackupSet type="CoreBootSystemFiles"><systemroot>C:\windows</systemroot><bootdriveletter>C:</bootdriveletter><allusersprofile>C:\ProgramData</allusersprofile></BackupSet>' \
    "$(cat "$E/bk/CoreBootSystemFilesBackupSet.xml")"
KEYS_ID=0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d PROTECT=IIS/C/windows/System32/Microsoft/Protect/S-1-5-18
SAVED=$(printf '%s\n' BootFiles/C/{Boot.ini,NtBootDD.sys,NtDetect.com,NtLdr} CoreBootSystemFilesBackupSet.xml \
    "CatRoot/C/$CATALOG/"{Drivers/oem1.cat,"KB893066 (server).cat",nt5.cat,nt5inf.cat,oem0.cat} \
    IIS/C/ProgramData/Microsoft/Crypto/RSA/MachineKeys/{7a436fe806e483969f48a894af2fe9a1,f686aace6942fb7f7ceb231212eef4a4}_$KEYS_ID \
    IIS/C/windows/System32/InetSrv/{MBSchema.xml,MetaBase.xml} $PROTECT/{5f3b6d1e-8a61-4b1c-9e7a-3c2d1f0e4b5a,Preferred} \
    $PROTECT/User/c08e2f4a-9b1d-4e6f-a3c5-7d9b1e2f4a6c Perf/C/windows/System32/{PerfC007.dat,PerfC009.bak,PerfC009.dat,PerfH009.bak,PerfH009.dat} \
    SPF/c/windows/{fonts/qmserif.ttf,system32/drivers/qmprotfs.sys,system32/qmprot32.dll,system32/qmshell.dll} \
    SfcDllCache/{i386/qmsetup.inf,qmold.dll,qmprot32.dll,qmshell.dll} | LC_ALL=C sort)
# qmprot32.dll is listed twice and copied once; qmgone.dll is listed and missing.
expect_eq "saved files" "$SAVED" "$(cd "$E/bk" && find . -type f ! -name SHA256SUMS ! -name backup.json | sed 's|^\./||' | LC_ALL=C sort)"
# saved_as_live WHEN: every saved file is its live file.
saved_as_live() {
    while read -r saved; do [ "$saved" = CoreBootSystemFilesBackupSet.xml ] || cmp -s "$E/bk/$saved" "$(live_of "$saved")" ||
        fail "$1, $saved differs from its live file"; done <<<"$SAVED"
}
saved_as_live "after the backup"

# --- a machine without NtBootDD.sys -------------------------------------------------------------
result backup-noscsi
expect_eq "backup without NtBootDD.sys: exit" 0 "$RC"
expect_eq "backup without NtBootDD.sys: boot files" $'Boot.ini\nNtDetect.com\nNtLdr' "$(ls "$C/bk-noscsi/BootFiles/C")"

# --- a failure names the call and the path, and keeps what was saved before it -----------------
result backup-fail
expect_exit "unreadable metabase" 1 'CoreBootSystemFilesException ERROR: Files::Copy(C:\windows\System32\InetSrv\MetaBase.xml, C:\bk-fail\IIS\C\windows\System32\InetSrv\MetaBase.xml) failed: Error = 0x00000005'
expect_eq "unreadable metabase: groups saved before it" "BootFiles CatRoot CoreBootSystemFilesBackupSet.xml Perf SPF SfcDllCache" \
    "$(cd "$C/bk-fail" && find . -type f | cut -d/ -f2 | LC_ALL=C sort -u | tr '\n' ' ' | sed 's/ $//')"
expect_eq "unreadable metabase: saved files" 23 "$(find "$C/bk-fail" -type f | wc -l)"

# --- the restore, carried out by a restart -------------------------------------------------------
BEFORE=$(tree_hashes "$E/bk")
for file in NtLdr Boot.ini windows/system32/qmprot32.dll windows/system32/PerfC009.dat windows/WfpCache/qmshell.dll \
    "windows/system32/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/nt5.cat" \
    windows/system32/Microsoft/Protect/S-1-5-18/Preferred; do
    echo "changed after the backup" >"$(live "$file")"
done
# Security for the staged copy to take: a protected file that only its owner and SYSTEM may open
# (Wine keeps a file's list as its mode bits: without "other" bits, it lets Everyone in no more).
# A saved key store file has gone since the backup.
chmod 600 "$(live windows/system32/qmprot32.dll)"
rm "$(live windows/system32/Microsoft/Protect/S-1-5-18/Preferred)"
# The same backup as if taken where the system root was C:\WINNT and the all-users profile
# C:\Documents and Settings\All Users: each file keeps its path below its group's root.
cp -r "$E/bk" "$C/bk-winnt"
for group in CatRoot Perf IIS; do mv "$C/bk-winnt/$group/C/windows" "$C/bk-winnt/$group/C/WINNT"; done
mkdir -p "$C/bk-winnt/IIS/C/Documents and Settings"
mv "$C/bk-winnt/IIS/C/ProgramData" "$C/bk-winnt/IIS/C/Documents and Settings/All Users"
sed -i 's|C:\\windows<|C:\\WINNT<|; s|C:\\ProgramData<|C:\\Documents and Settings\\All Users<|' "$C/bk-winnt/CoreBootSystemFilesBackupSet.xml"
# ... and from a web server of the older kind, whose configuration is Metabase.bin alone.
mv "$C/bk-winnt/IIS/C/WINNT/System32/InetSrv/MetaBase.xml" "$C/bk-winnt/IIS/C/WINNT/System32/InetSrv/Metabase.bin"
rm "$C/bk-winnt/IIS/C/WINNT/System32/InetSrv/MBSchema.xml"
step restore-winnt 'ssbr restore C:\bk-winnt --no-verify --boot-files'
step renames-winnt "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"
step - "reg delete \"$SESSION_MANAGER\" /v PendingFileRenameOperations /f"
step - 'rmdir /s /q C:\SystemStateRestore'
step restore 'ssbr restore E:\bk --no-verify --boot-files'
step protected-renames "reg query \"$SESSION_MANAGER\" /v AllowProtectedRenames"
step renames "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"
step security 'sectool show C:\windows\system32\qmprot32.dll C:\SystemStateRestore\c\windows\system32\qmprot32.dll C:\NtLdr C:\SystemStateRestore\C\NtLdr'
# A second restore while the first waits for the restart: its staged copies are not touched.
step restore-again 'ssbr restore E:\bk --no-verify --boot-files'
step renames-again "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"
steps_run "$MACHINE"
result restore-winnt
expect_eq "restore of a C:\WINNT backup: exit" 0 "$RC"
result renames-winnt
PENDING=$(renames "$OUT")
CATALOG_WIN='windows\System32\CatRoot\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}'
for file in "$CATALOG_WIN\Drivers\oem1.cat" 'windows\System32\PerfC009.bak' 'windows\System32\InetSrv\Metabase.bin' \
    'windows\System32\Microsoft\Protect\S-1-5-18\User\c08e2f4a-9b1d-4e6f-a3c5-7d9b1e2f4a6c' \
    "ProgramData\\Microsoft\\Crypto\\RSA\\MachineKeys\\7a436fe806e483969f48a894af2fe9a1_$KEYS_ID"; do
    expect_contains "C:\WINNT backup: pending rename of $file" "\\??\\C:\\SystemStateRestore\\C\\$file"$'\n'"!\\??\\C:\\$file" "$PENDING"
done
expect_eq "C:\WINNT backup: pending renames" 28 "$(grep -c '^!' <<<"$PENDING")"
result restore
expect_eq "restore: exit" 0 "$RC"
expect_contains "restore: summary" 'Restore of boot files from E:\bk completed' "$OUT"
result protected-renames
expect_contains "AllowProtectedRenames" "REG_DWORD    0x1" "$OUT"
result renames
PENDING=$(renames "$OUT")
for live in 'C:\NtLdr' 'c:\windows\system32\qmprot32.dll' 'C:\windows\WfpCache\i386\qmsetup.inf' \
    'C:\windows\System32\'{PerfC009.dat,'InetSrv\MetaBase.xml','InetSrv\MBSchema.xml','Microsoft\Protect\S-1-5-18\Preferred'} \
    "C:\\ProgramData\\Microsoft\\Crypto\\RSA\\MachineKeys\\7a436fe806e483969f48a894af2fe9a1_$KEYS_ID"; do
    expect_contains "pending rename $live" "\\??\\C:\\SystemStateRestore\\${live%%:*}${live#*:}"$'\n'"!\\??\\$live" "$PENDING"
done
expect_eq "pending renames: one per saved file" 29 "$(grep -c '^!' <<<"$PENDING")"
expect_contains "staging folders removed after the renames" $'\\??\\C:\\SystemStateRestore\\C\n\n\\??\\C:\\SystemStateRestore\n' "$PENDING"$'\n'
expect_eq "staged copy before the restart" "$(cat "$E/bk/BootFiles/C/NtLdr")" "$(cat "$C/SystemStateRestore/C/NtLdr")"
# Each staged copy carries its live file's security (what a new one and the staging folder get:
# the unit tests).
result security
expect_eq "security read back: exit" 0 "$RC"
mapfile -t SECURITY <<<"$OUT"
expect_closed "the live qmprot32.dll" "${SECURITY[0]}"
expect_eq "staged qmprot32.dll: the live file's security" "${SECURITY[0]}" "${SECURITY[1]}"
expect_contains "the live NtLdr lets everyone read" ';;;WD)' "${SECURITY[2]}"
expect_eq "staged NtLdr: the live file's security" "${SECURITY[2]}" "${SECURITY[3]}"
result restore-again
expect_exit "a second restore before the restart" 1 'CoreBootSystemFilesException ERROR: A restore scheduled earlier waits for the restart (C:\SystemStateRestore\C\NtLdr is to be renamed then); restart the machine before restoring the boot files again'
result renames-again
expect_eq "a second restore before the restart: the pending renames" "$PENDING" "$(renames "$OUT")"

start=$EPOCHREALTIME
"$LAB/restart" "$MACHINE"
echo "restart took $(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s"
saved_as_live "after the restart"
expect_eq "the backup after the restore and the restart" "$BEFORE" "$(tree_hashes "$E/bk")"
[ -e "$C/SystemStateRestore" ] && fail "staging folder left after the restart: $(find "$C/SystemStateRestore" | head -5)"
[ -e "$E/SystemStateRestore" ] && fail "staging folder on the backup's drive"

finish
