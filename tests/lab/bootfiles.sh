#!/bin/bash
# The boot-files component through ssbr in a lab 2003 server: the backup's layout and manifest, a
# protected file listed twice and one missing, a machine without NtBootDD.sys, failures that name
# the call and path and keep what was saved, restores from a folder without a backup, from one
# with a link in it and from one taken under other paths, and the restore from a second drive
# carried out by a restart: every changed live file holds its saved content again (the 2003 web
# server's MetaBase.xml and MBSchema.xml and both key stores among them), the backup is whole and
# no staging folder is left.
source "$(dirname "$0")/lib/common.bash"

provision bootfiles --os 2003
machines_ready
MACHINE=$MACHINES/bootfiles
C=$MACHINE/drive_c
E=$MACHINE/drive_e
SESSION_MANAGER='HKLM\System\CurrentControlSet\Control\Session Manager'
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

# Every file of a backup with its checksum.
checksums() { (cd "$1" && find . -type f -exec md5sum {} + | sort -k2); }

# Commands run in one session of the machine (each session costs a second or more): step CMD
# adds one whose output and exit code result N reads back (into OUT, ERR, RC) after steps_run.
rm -rf "$C/t" && mkdir "$C/t"
STEPS=0
step() {
    STEPS=$((STEPS + 1))
    [ $STEPS -gt 1 ] || printf '@echo off\r\n' >"$C/t/steps.cmd"
    printf '%s >C:\\t\\%d.out 2>C:\\t\\%d.err\r\necho %%errorlevel%% >C:\\t\\%d.rc\r\n' "$1" $STEPS $STEPS $STEPS >>"$C/t/steps.cmd"
}
# held_step FILE CMD: a step run while FILE is held open without sharing (labservice hold).
held_step() {
    local label=$((STEPS + 1))
    printf 'start "" /b labservice hold "%s" C:\\t\\hold\r\n:held%d\r\nif not exist C:\\t\\hold\\held if not exist C:\\t\\hold\\failed goto held%d\r\n' \
        "$1" $label $label >>"$C/t/steps.cmd"
    step "$2"
    printf 'echo.>C:\\t\\hold\\release\r\n:released%d\r\nif exist C:\\t\\hold\\held goto released%d\r\n' $label $label >>"$C/t/steps.cmd"
}
steps_run() {
    run_in "$MACHINE" cmd /c 'C:\t\steps.cmd'
    rm -f "$C/t/steps.cmd"
}
result() {
    OUT=$(tr -d '\r' <"$C/t/$1.out") ERR=$(tr -d '\r' <"$C/t/$1.err") RC=$(tr -d '\r ' <"$C/t/$1.rc")
}
# The pending renames in OUT of a reg query, one name a line. reg shows the separators as "\0":
# no name of the lab begins with a digit 0 after a backslash.
pending() { printf '%s' "$OUT" | grep -o 'REG_MULTI_SZ.*' | sed 's/^REG_MULTI_SZ *//; s/\\0/\n/g'; }

METABASE='C:\windows\system32\inetsrv\MetaBase.xml'
step 'ssbr backup E:\bk --boot-files'                                     # 1
step 'move C:\NtBootDD.sys C:\t\NtBootDD.sys'
step 'ssbr backup C:\bk-noscsi --boot-files'                              # 3
step 'move C:\t\NtBootDD.sys C:\NtBootDD.sys'
step "move $METABASE C:\\t\\MetaBase.xml"
step "mkdir $METABASE"
step 'ssbr backup C:\bk-fail --boot-files'                                # 7
step "rmdir $METABASE"
step "move C:\\t\\MetaBase.xml $METABASE"
step 'ssbr restore C:\not-a-backup --no-verify --boot-files'                          # 10
step 'ssbr restore C:\never-made --no-verify --boot-files'                            # 11
step 'dir /b C:\SystemStateRestore'                                       # 12
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 13
# Restores that fail with a rename of another program already waiting: while staging, early (a
# file holds the name of a staging folder) and late (the last saved file is held open without
# sharing), and while scheduling (a live folder that the restore makes again, a key store folder
# gone since the backup, and later one that a file blocks, the machine keys folder).
WAITING_RENAME="reg add \"$SESSION_MANAGER\" /v PendingFileRenameOperations /t REG_MULTI_SZ /d \"\\??\\C:\\t\\earlier.dll\\0!\\??\\C:\\windows\\earlier.dll\" /f"
STAGED_FILES='if exist C:\SystemStateRestore dir /s /b /a-d C:\SystemStateRestore'
PROTECT='C:\windows\system32\Microsoft\Protect\S-1-5-18'
KEYSTORE='C:\ProgramData\Microsoft\Crypto\RSA\MachineKeys'
step 'mkdir C:\SystemStateRestore\C'
step 'copy C:\t\blocker C:\SystemStateRestore\C\windows'
step "$WAITING_RENAME"
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 17
step 'ssbr restore E:\bk --no-verify --boot-files'                                    # 18
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 19
step "reg query \"$SESSION_MANAGER\" /v AllowProtectedRenames"            # 20
step "$STAGED_FILES"                                                        # 21
step 'del C:\SystemStateRestore\C\windows'
held_step 'E:\bk\IIS\C\ProgramData\Microsoft\Crypto\RSA\MachineKeys\f686aace6942fb7f7ceb231212eef4a4_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d' \
    'ssbr restore E:\bk --no-verify --boot-files'                                      # 23
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 24
step "reg query \"$SESSION_MANAGER\" /v AllowProtectedRenames"            # 25
step "$STAGED_FILES"                                                        # 26
step "move $PROTECT\\User C:\\t\\ProtectUser"
step "move $KEYSTORE C:\\t\\MachineKeys"
step "copy C:\\t\\blocker $KEYSTORE"
step 'ssbr restore E:\bk --no-verify --boot-files'                                    # 30
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 31
step "reg query \"$SESSION_MANAGER\" /v AllowProtectedRenames"            # 32
step "dir /b $PROTECT"                                                      # 33
step "$STAGED_FILES"                                                        # 34
step "del $KEYSTORE"
step "move C:\\t\\MachineKeys $KEYSTORE"
step "move C:\\t\\ProtectUser $PROTECT\\User"
step "reg delete \"$SESSION_MANAGER\" /v PendingFileRenameOperations /f"  # 38
step 'rmdir /s /q C:\SystemStateRestore'
mkdir -p "$C/not-a-backup"
echo stray >"$C/not-a-backup/notes.txt"
echo blocker >"$C/t/blocker"
LIVE_BEFORE=$(for path in "${LIVE[@]}"; do md5sum "$path"; done | sort -k2)
steps_run
expect_eq "the backups and failed restores: exit" 0 "$RC"

# --- backup onto the second drive -------------------------------------------------------------
result 1
expect_eq "backup: exit" 0 "$RC"
expect_contains "backup: summary" 'Backup of boot files to E:\bk completed' "$OUT"
expect_eq "manifest" '<BackupSet type="CoreBootSystemFiles"><systemroot>C:\windows</systemroot><bootdriveletter>C:</bootdriveletter><allusersprofile>C:\ProgramData</allusersprofile></BackupSet>' \
    "$(cat "$E/bk/CoreBootSystemFilesBackupSet.xml")"
SAVED="BootFiles/C/Boot.ini
BootFiles/C/NtBootDD.sys
BootFiles/C/NtDetect.com
BootFiles/C/NtLdr
CatRoot/C/$CATALOG/Drivers/oem1.cat
CatRoot/C/$CATALOG/KB893066 (server).cat
CatRoot/C/$CATALOG/nt5.cat
CatRoot/C/$CATALOG/nt5inf.cat
CatRoot/C/$CATALOG/oem0.cat
CoreBootSystemFilesBackupSet.xml
IIS/C/ProgramData/Microsoft/Crypto/RSA/MachineKeys/7a436fe806e483969f48a894af2fe9a1_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d
IIS/C/ProgramData/Microsoft/Crypto/RSA/MachineKeys/f686aace6942fb7f7ceb231212eef4a4_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d
IIS/C/windows/System32/InetSrv/MBSchema.xml
IIS/C/windows/System32/InetSrv/MetaBase.xml
IIS/C/windows/System32/Microsoft/Protect/S-1-5-18/5f3b6d1e-8a61-4b1c-9e7a-3c2d1f0e4b5a
IIS/C/windows/System32/Microsoft/Protect/S-1-5-18/Preferred
IIS/C/windows/System32/Microsoft/Protect/S-1-5-18/User/c08e2f4a-9b1d-4e6f-a3c5-7d9b1e2f4a6c
Perf/C/windows/System32/PerfC007.dat
Perf/C/windows/System32/PerfC009.bak
Perf/C/windows/System32/PerfC009.dat
Perf/C/windows/System32/PerfH009.bak
Perf/C/windows/System32/PerfH009.dat
SPF/c/windows/fonts/qmserif.ttf
SPF/c/windows/system32/drivers/qmprotfs.sys
SPF/c/windows/system32/qmprot32.dll
SPF/c/windows/system32/qmshell.dll
SfcDllCache/i386/qmsetup.inf
SfcDllCache/qmold.dll
SfcDllCache/qmprot32.dll
SfcDllCache/qmshell.dll"
# qmprot32.dll is listed twice and copied once; qmgone.dll is listed and missing.
expect_eq "saved files" "$SAVED" "$(cd "$E/bk" && find . -type f ! -name SHA256SUMS ! -name backup.json | sed 's|^\./||' | LC_ALL=C sort)"
while read -r saved; do
    [ "$saved" = CoreBootSystemFilesBackupSet.xml ] && continue
    cmp -s "$E/bk/$saved" "$(live_of "$saved")" || fail "$saved differs from its live file"
done <<<"$SAVED"

# --- a machine without NtBootDD.sys -------------------------------------------------------------
result 3
expect_eq "backup without NtBootDD.sys: exit" 0 "$RC"
expect_eq "backup without NtBootDD.sys: boot files" $'Boot.ini\nNtDetect.com\nNtLdr' "$(ls "$C/bk-noscsi/BootFiles/C")"

# --- a failure names the call and the path, and keeps what was saved before it -----------------
result 7
expect_eq "unreadable metabase: exit" 1 "$RC"
expect_contains "unreadable metabase: message" 'CoreBootSystemFilesException ERROR: Files::Copy(C:\windows\System32\InetSrv\MetaBase.xml, C:\bk-fail\IIS\C\windows\System32\InetSrv\MetaBase.xml) failed: Error = 0x00000005' "$ERR"
expect_eq "unreadable metabase: groups saved before it" "BootFiles CatRoot CoreBootSystemFilesBackupSet.xml Perf SPF SfcDllCache" \
    "$(cd "$C/bk-fail" && find . -type f | cut -d/ -f2 | LC_ALL=C sort -u | tr '\n' ' ' | sed 's/ $//')"
expect_eq "unreadable metabase: saved files" 23 "$(find "$C/bk-fail" -type f | wc -l)"

# --- no backup in the folder: our text, nothing created ----------------------------------------
result 10
expect_eq "restore without a manifest: exit" 1 "$RC"
expect_contains "restore without a manifest: message" 'CoreBootSystemFilesBackupSetException ERROR: No core boot files backup in C:\not-a-backup' "$ERR"
expect_eq "restore without a manifest: folder untouched" notes.txt "$(ls "$C/not-a-backup")"
result 11
expect_eq "restore from a missing folder: exit" 1 "$RC"
[ -e "$C/never-made" ] && fail "the restore created its folder"
result 12
expect_eq "a restore without a backup staged files" 1 "$RC"
result 13
expect_eq "restore without a backup: renames pending" 1 "$RC"

# --- restores that fail while staging or scheduling leave everything as it was ------------------
result 17
WAITING=$OUT
expect_contains "another program's rename waits" '\??\C:\t\earlier.dll\0!\??\C:\windows\earlier.dll' "$WAITING"
result 18
expect_eq "blocked staging folder: exit" 1 "$RC"
expect_contains "blocked staging folder: message" 'FileSystemException ERROR: Refused the staging folder C:\SystemStateRestore\C\windows: it is a file. Nothing was staged there; remove it and run the restore again.' "$ERR"
result 19
expect_eq "blocked staging folder: the pending renames as they were" "$WAITING" "$OUT"
result 20
expect_eq "blocked staging folder: protected renames not allowed" 1 "$RC"
result 21
expect_eq "blocked staging folder: no staged file left" 'C:\SystemStateRestore\C\windows' "$OUT"
result 23
expect_eq "saved file held open: exit" 1 "$RC"
expect_contains "saved file held open: the file and the staged copy" 'CoreBootSystemFilesException ERROR: Files::Copy(E:\bk\IIS\C\ProgramData\Microsoft\Crypto\RSA\MachineKeys\f686aace6942fb7f7ceb231212eef4a4_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d, C:\SystemStateRestore\C\ProgramData\Microsoft\Crypto\RSA\MachineKeys\f686aace6942fb7f7ceb231212eef4a4_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d) failed: Error = 0x00000020' "$ERR"
result 24
expect_eq "saved file held open: the pending renames as they were" "$WAITING" "$OUT"
result 25
expect_eq "saved file held open: protected renames not allowed" 1 "$RC"
result 26
expect_eq "saved file held open: no staged file left" "" "$OUT"
result 30
expect_eq "blocked live folder: exit" 1 "$RC"
expect_contains "blocked live folder: message" 'CoreBootSystemFilesException ERROR: CreateDirectory(C:\ProgramData\Microsoft\Crypto\RSA\MachineKeys) failed: Error = 0x000000B7' "$ERR"
result 31
expect_eq "blocked live folder: the pending renames as they were" "$WAITING" "$OUT"
result 32
expect_eq "blocked live folder: protected renames not allowed" 1 "$RC"
result 33
expect_eq "blocked live folder: the key store folder it made is gone again" $'5f3b6d1e-8a61-4b1c-9e7a-3c2d1f0e4b5a\nPreferred' "$(sort <<<"$OUT")"
result 34
expect_eq "blocked live folder: no staged file left" "" "$OUT"
result 38
expect_eq "clearing the pending renames: exit" 0 "$RC"
expect_eq "failed restores: the live files" "$LIVE_BEFORE" "$(for path in "${LIVE[@]}"; do md5sum "$path"; done | sort -k2)"

# --- a staging folder made beforehand as a link: refused, nothing written through it -------------
mkdir -p "$C/elsewhere"
echo "not the restore's" >"$C/elsewhere/NtLdr"
ln -s elsewhere "$C/SystemStateRestore"
STEPS=0
step 'ssbr restore E:\bk --no-verify --boot-files'                                    # 1
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 2
steps_run
result 1
expect_eq "staging folder is a link: exit" 1 "$RC"
expect_contains "staging folder is a link: message" 'FileSystemException ERROR: Refused the staging folder C:\SystemStateRestore: it is a link. Nothing was staged there; remove it and run the restore again.' "$ERR"
result 2
expect_eq "staging folder is a link: renames pending" 1 "$RC"
expect_eq "staging folder is a link: what it leads to" "NtLdr: not the restore's" \
    "$(cd "$C/elsewhere" && for f in *; do echo "$f: $(cat "$f")"; done)"
rm "$C/SystemStateRestore"

# --- the restore, carried out by a restart -------------------------------------------------------
BEFORE=$(checksums "$E/bk")
for file in NtLdr Boot.ini windows/system32/qmprot32.dll windows/system32/PerfC009.dat windows/WfpCache/qmshell.dll \
    "windows/system32/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/nt5.cat" \
    windows/system32/Microsoft/Protect/S-1-5-18/Preferred; do
    echo "changed after the backup" >"$(live "$file")"
done
# Security for the staged copies to take: a protected file that only its owner and SYSTEM may
# open, and a key store folder that passes only them on, from which a saved key has gone. Wine
# keeps a file's list as its mode bits: without "other" bits, the list lets Everyone in no more.
QMPROT=$(live windows/system32/qmprot32.dll)
KEYS=$(dirname "$(live windows/system32/Microsoft/Protect/S-1-5-18/Preferred)")
chmod 600 "$QMPROT"
chmod 700 "$KEYS"
rm "$KEYS/Preferred"
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
STEPS=0
step 'ssbr restore C:\bk-winnt --no-verify --boot-files'                              # 1
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 2
step "reg delete \"$SESSION_MANAGER\" /v PendingFileRenameOperations /f"  # 3
step 'ssbr restore C:\bk-link --no-verify --boot-files'                               # 4
step "reg delete \"$SESSION_MANAGER\" /v PendingFileRenameOperations /f"  # 5
step 'rmdir /s /q C:\SystemStateRestore'
step 'ssbr restore E:\bk --no-verify --boot-files'                                    # 7
step "reg query \"$SESSION_MANAGER\" /v AllowProtectedRenames"            # 8
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 9
STAGED='C:\SystemStateRestore\C\windows\System32'
step "sectool show C:\\windows\\system32\\qmprot32.dll C:\\SystemStateRestore\\c\\windows\\system32\\qmprot32.dll C:\\NtLdr C:\\SystemStateRestore\\C\\NtLdr $STAGED\\Microsoft\\Protect\\S-1-5-18\\Preferred C:\\SystemStateRestore"  # 10
# A second restore while the first waits for the restart: its staged copies are not touched.
step 'ssbr restore E:\bk --no-verify --boot-files'                                    # 11
step "reg query \"$SESSION_MANAGER\" /v PendingFileRenameOperations"      # 12
# A backup folder with a link in it, to the live fonts.
cp -r "$E/bk" "$C/bk-link"
rm -r "$C/bk-link/SPF/c/windows/fonts"
ln -s ../../../../windows/Fonts "$C/bk-link/SPF/c/windows/fonts"
steps_run
result 1
expect_eq "restore of a C:\WINNT backup: exit" 0 "$RC"
result 2
PENDING=$(pending)
CATALOG_WIN='windows\System32\CatRoot\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}'
for file in "$CATALOG_WIN\Drivers\oem1.cat" 'windows\System32\PerfC009.bak' 'windows\System32\InetSrv\Metabase.bin' \
    'windows\System32\Microsoft\Protect\S-1-5-18\User\c08e2f4a-9b1d-4e6f-a3c5-7d9b1e2f4a6c' \
    'ProgramData\Microsoft\Crypto\RSA\MachineKeys\7a436fe806e483969f48a894af2fe9a1_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d'; do
    expect_contains "C:\WINNT backup: pending rename of $file" "\\??\\C:\\SystemStateRestore\\C\\$file"$'\n'"!\\??\\C:\\$file" "$PENDING"
done
expect_eq "C:\WINNT backup: pending renames" 28 "$(grep -c '^!' <<<"$PENDING")"
result 3
expect_eq "clearing the pending renames again: exit" 0 "$RC"
result 4
expect_eq "a link in the backup: exit" 1 "$RC"
expect_contains "a link in the backup: message" 'CoreBootSystemFilesException ERROR: C:\bk-link\SPF\c\windows\fonts is a link; the backup holds no links' "$ERR"
result 5
expect_eq "a link in the backup: nothing scheduled" 1 "$RC"
result 7
expect_eq "restore: exit" 0 "$RC"
expect_contains "restore: summary" 'Restore of boot files from E:\bk completed' "$OUT"
result 8
expect_contains "AllowProtectedRenames" "REG_DWORD    0x1" "$OUT"
result 9
PENDING=$(pending)
for pair in 'C:\SystemStateRestore\C\NtLdr|C:\NtLdr' \
    'C:\SystemStateRestore\c\windows\system32\qmprot32.dll|c:\windows\system32\qmprot32.dll' \
    'C:\SystemStateRestore\C\windows\WfpCache\i386\qmsetup.inf|C:\windows\WfpCache\i386\qmsetup.inf' \
    'C:\SystemStateRestore\C\windows\System32\PerfC009.dat|C:\windows\System32\PerfC009.dat' \
    'C:\SystemStateRestore\C\windows\System32\InetSrv\MetaBase.xml|C:\windows\System32\InetSrv\MetaBase.xml' \
    'C:\SystemStateRestore\C\windows\System32\InetSrv\MBSchema.xml|C:\windows\System32\InetSrv\MBSchema.xml' \
    'C:\SystemStateRestore\C\windows\System32\Microsoft\Protect\S-1-5-18\Preferred|C:\windows\System32\Microsoft\Protect\S-1-5-18\Preferred' \
    'C:\SystemStateRestore\C\ProgramData\Microsoft\Crypto\RSA\MachineKeys\7a436fe806e483969f48a894af2fe9a1_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d|C:\ProgramData\Microsoft\Crypto\RSA\MachineKeys\7a436fe806e483969f48a894af2fe9a1_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d'; do
    expect_contains "pending rename ${pair#*|}" "\\??\\${pair%|*}"$'\n'"!\\??\\${pair#*|}" "$PENDING"
done
expect_eq "pending renames: one per saved file" 29 "$(grep -c '^!' <<<"$PENDING")"
expect_contains "staging folders removed after the renames" $'\\??\\C:\\SystemStateRestore\\C\n\n\\??\\C:\\SystemStateRestore\n' "$PENDING"$'\n'
expect_eq "staged copy before the restart" "$(cat "$E/bk/BootFiles/C/NtLdr")" "$(cat "$C/SystemStateRestore/C/NtLdr")"
# Each staged copy carries its live file's security (or, new, what its live folder passes on).
result 10
expect_eq "security read back: exit" 0 "$RC"
mapfile -t SECURITY <<<"$OUT"
expect_eq "the live qmprot32.dll keeps everyone out" "" "$(grep -F ';;;WD)' <<<"${SECURITY[0]}")"
expect_eq "staged qmprot32.dll: the live file's security" "${SECURITY[0]}" "${SECURITY[1]}"
expect_contains "the live NtLdr lets everyone read" ';;;WD)' "${SECURITY[2]}"
expect_eq "staged NtLdr: the live file's security" "${SECURITY[2]}" "${SECURITY[3]}"
expect_eq "staged Preferred, new to a folder that keeps everyone out" "" "$(grep -F ';;;WD)' <<<"${SECURITY[4]}")"
expect_contains "staged Preferred: read back" 'D:' "${SECURITY[4]}"
expect_eq "the staging folder keeps everyone out" "" "$(grep -F ';;;WD)' <<<"${SECURITY[5]}")"
expect_contains "the staging folder: read back" 'D:' "${SECURITY[5]}"
result 11
expect_eq "a second restore before the restart: exit" 1 "$RC"
expect_contains "a second restore before the restart: message" 'CoreBootSystemFilesException ERROR: A restore scheduled earlier waits for the restart (C:\SystemStateRestore\C\NtLdr is to be renamed then); restart the machine before restoring the boot files again' "$ERR"
result 12
expect_eq "a second restore before the restart: the pending renames" "$PENDING" "$(pending)"

start=$EPOCHREALTIME
"$LAB/restart" "$MACHINE"
echo "restart took $(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }') s"
while read -r saved; do
    [ "$saved" = CoreBootSystemFilesBackupSet.xml ] && continue
    cmp -s "$E/bk/$saved" "$(live_of "$saved")" || fail "after the restart, $saved differs from its live file"
done <<<"$SAVED"
expect_eq "the backup after the restore and the restart" "$BEFORE" "$(checksums "$E/bk")"
[ -e "$C/SystemStateRestore" ] && fail "staging folder left after the restart: $(find "$C/SystemStateRestore" | head -5)"
[ -e "$E/SystemStateRestore" ] && fail "staging folder on the backup's drive"

finish
