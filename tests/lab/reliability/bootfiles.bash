# The boot files: every saved file is staged before the first rename is scheduled; a failure while
# staging or scheduling removes the staged copies and the live folders it made, and leaves the
# pending renames as they were (here: one of another program) and protected renames not allowed.
RELIABILITY_COMPONENTS+=(bootfiles)
RELIABILITY_OPTION_bootfiles=--boot-files
RELIABILITY_LIVE_bootfiles='NtLdr Boot.ini NtDetect.com windows/system32/catroot windows/system32/qmprot32.dll
windows/system32/Microsoft/Protect ProgramData/Microsoft/Crypto/RSA/MachineKeys windows/WfpCache SystemStateRestore'

reliability_setup_bootfiles() {
    echo "reg add \"$SESSION_MANAGER\" /v PendingFileRenameOperations /t REG_MULTI_SZ /d \"\\??\\C:\\reliability\\earlier.dll\\0!\\??\\C:\\windows\\earlier.dll\" /f > nul"
    echo 'mkdir C:\SystemStateRestore'
}

reliability_cases_bootfiles() {
    local keys='C:\ProgramData\Microsoft\Crypto\RSA\MachineKeys' user='C:\windows\system32\Microsoft\Protect\S-1-5-18\User'

    # Staging, early: a file holds the name of a staging folder (the catalog's, second group).
    fail_case staging-folder-blocked 'FileSystemException ERROR: Refused the staging folder C:\SystemStateRestore\C\windows: it is a file. Nothing was staged there; remove it and run the restore again.'
    BEFORE+=('mkdir C:\SystemStateRestore\C' 'type nul > C:\SystemStateRestore\C\windows')
    AFTER+=('del C:\SystemStateRestore\C\windows' 'rmdir C:\SystemStateRestore\C')

    # Staging, late: the last group's saved file is held (23 of 29 files are staged by then).
    local held='ProgramData\Microsoft\Crypto\RSA\MachineKeys\f686aace6942fb7f7ceb231212eef4a4_0d3b5a7c-1e2f-4a6b-8c9d-0e1f2a3b4c5d'
    fail_case saved-file-held "Files::Copy($BACKUP_WIN\\IIS\\C\\$held, C:\\SystemStateRestore\\C\\$held) failed: Error = 0x00000020"
    HOLD="$BACKUP_WIN\\IIS\\C\\$held"

    # Scheduling: every file staged, a key store folder gone since the backup made again, then the
    # machine keys folder blocked by a file.
    fail_case live-folder-blocked "CoreBootSystemFilesException ERROR: CreateDirectory($keys) failed: Error = 0x000000B7"
    BEFORE+=("move $user C:\\reliability\\ProtectUser" "move $keys C:\\reliability\\MachineKeys" "type nul > $keys")
    AFTER+=("del $keys" "move C:\\reliability\\MachineKeys $keys" "move C:\\reliability\\ProtectUser $user")
}
