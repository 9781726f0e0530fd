# The directory (2003, through the backup API): every saved file is copied beside its live place
# before a live file is replaced, and then only by renames; a failure at any step, or of the API
# around them, leaves the directory's files as they were.
RELIABILITY_COMPONENTS+=(activedirectory)
RELIABILITY_OPTION_activedirectory=--active-directory
RELIABILITY_ENV_activedirectory=SAFEBOOT_OPTION=DSREPAIR
RELIABILITY_LIVE_activedirectory=windows/NTDS

# The live database differs from the saved one, so a restore that went ahead would show.
reliability_setup_activedirectory() {
    echo 'echo moved on>> C:\windows\NTDS\ntds.dit'
}

# ntdsbcli_knob CALL: the lab API's call fails for the case.
ntdsbcli_knob() { knob 'HKLM\SOFTWARE\Harborline Lab\ntdsbcli' "$1" 0xC8000226; }

reliability_cases_activedirectory() {
    fail_case register "DsRestoreRegister failed"
    ntdsbcli_knob DsRestoreRegisterW
    # Staging: the logs are copied first, the database last.
    fail_case saved-database-unreadable "ntds.dit) failed. The live files are unchanged."
    HOLD="$BACKUP_WIN\\ntds.dit"
    # Renames: the live database cannot be moved aside after the logs were replaced.
    fail_case live-database-held "ntds.dit.qm0~) failed. The live files are unchanged."
    HOLD='C:\windows\NTDS\ntds.dit'
    fail_case complete "DsRestoreRegisterComplete failed"
    ntdsbcli_knob DsRestoreRegisterComplete
}
