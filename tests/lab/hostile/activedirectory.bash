# The directory's hostile cases: entries of the log list that lead out of the log directory (the
# restore replaces a log in the log directory only), and markers that do not belong in that list.
HOSTILE_COMPONENTS+=(activedirectory)
HOSTILE_OPTION_activedirectory=--active-directory HOSTILE_ENV_activedirectory=SAFEBOOT_OPTION=DSREPAIR
HOSTILE_LIVE_activedirectory=windows/NTDS
HOSTILE_ROLES+=(dc)

# log_entry BFT ORIGINAL: puts a log list entry for the file "victim" first, and the file in $CASE.
log_entry() {
    sed -i "s|<logfiles>|<logfiles><file name=\"victim\" bft=\"$1\" original=\"${2//\\/\\\\}\"/>|" "$CASE/ActiveDirectoryBackupSet.xml"
    echo planted >"$CASE/victim"
}

hostile_cases_activedirectory() {
    new_case valid 0
    new_case no-manifest 1; rm "$CASE/ActiveDirectoryBackupSet.xml"
    new_case wrong-root 1; sed -i 's/type="ActiveDirectory"/type="CertificateServices"/' "$CASE/ActiveDirectoryBackupSet.xml"
    new_case log-outside any; log_entry 33 'C:\hostile-outside\victim'
    new_case log-up any; log_entry 32 'C:\WINDOWS\NTDS\..\..\hostile-outside\victim'
    new_case log-folder 1; log_entry 33 'C:\WINDOWS\NTDS\..'
    # The log directory and the databases are the service's: such entries are passed over.
    new_case log-directory any; log_entry 130 'C:\hostile-outside'
    new_case database-in-logs any; log_entry 68 'C:\hostile-outside\victim'
}
