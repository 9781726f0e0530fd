# SysVol: every saved file is copied beside its live place before any live file is touched, then
# swapped in by renames; a failure undoes the steps before it. Failing a recorded link (Wine makes
# none) needs the live link removed and put back from outside the machine: sysvol_complus.sh
# covers those cases.
RELIABILITY_COMPONENTS+=(sysvol)
RELIABILITY_OPTION_sysvol=--sysvol
RELIABILITY_ENV_sysvol=SAFEBOOT_OPTION=DSREPAIR
RELIABILITY_LIVE_sysvol=windows/SYSVOL

# The live tree differs from the saved one, so a restore that went ahead would show.
reliability_setup_sysvol() {
    echo 'echo changed since the backup> C:\windows\SYSVOL\domain\scripts\logon.bat'
    echo 'echo changed since the backup> C:\windows\SYSVOL\domain\Policies\{31B2F340-016D-11D2-945F-00C04FB984F9}\GPT.INI'
}

reliability_cases_sysvol() {
    local saved="$BACKUP_WIN\\SysVol\\C\\windows\\SysVol\\domain\\scripts\\logon.bat"
    # Staging: a saved file that cannot be read.
    fail_case saved-file-unreadable \
        "Directories::Copy($saved, C:\\windows\\SysVol\\domain\\scripts\\logon.bat) failed: 32"
    HOLD=$saved
    # Swapping: a live file that cannot be renamed, after others were swapped.
    fail_case live-file-held "MoveFileEx(C:\\windows\\SysVol\\domain\\scripts\\logon.bat, "
    HOLD='C:\windows\SYSVOL\domain\scripts\logon.bat'
}
