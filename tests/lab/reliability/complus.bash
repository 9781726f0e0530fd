# The COM+ catalog: the catalog takes the saved file whole or not at all; a saved file it cannot
# read leaves the live catalog as it was.
RELIABILITY_COMPONENTS+=(complus)
RELIABILITY_OPTION_complus=--complus
RELIABILITY_KEYS_complus='HKLM\Software\Harborline Lab\COM+ Catalog'

# The live catalog differs from the saved one, so a restore that went ahead would show.
reliability_setup_complus() {
    echo 'reg add "HKLM\Software\Harborline Lab\COM+ Catalog\Reliability" /v Marker /d live /f > nul'
}

reliability_cases_complus() {
    fail_case saved-file-unreadable
    HOLD="$BACKUP_WIN\\comDB.reg"
}
