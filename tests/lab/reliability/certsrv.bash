# The certification authority: every saved file is copied beside its live place before a live file
# is replaced, the live files are replaced by renames, and the folders' other files go last; a
# failure at any of these steps, or of the library around them, leaves the authority's files as
# they were and CertSvc and w3svc running again.
RELIABILITY_COMPONENTS+=(certsrv)
RELIABILITY_OPTION_certsrv=--certificate-services
RELIABILITY_LIVE_certsrv='windows/system32/CertLog windows/system32/CertSrv/CertEnroll'
RELIABILITY_SERVICES_certsrv='CertSvc w3svc'

# A log the backup does not hold (a restore that went ahead would remove it), and w3svc running,
# so that both services are stopped by each restore and must run again after it.
reliability_setup_certsrv() {
    echo 'echo live> C:\windows\system32\CertLog\edb0000C.log'
    echo 'sc start w3svc > nul'
}

# certadm_knob ENTRY_POINT: the lab library's entry point fails for the case.
certadm_knob() { knob 'HKLM\Software\QmLab\CertAdm\Fail' "$1" 0x80070005; }

reliability_cases_certsrv() {
    local host saved live='C:\windows\system32\CertLog'
    host=$(ls "$BACKUP/CertSrv")
    saved="$BACKUP_WIN\\CertSrv\\$host\\C\$\\windows\\system32"
    fail_case prepare "pfnRestorePrepare("
    certadm_knob CertSrvRestorePrepareW
    # Staging: the database is the first file copied, the enrollment list the last.
    fail_case saved-database-unreadable "LabCA.edb) failed. The live files are unchanged."
    HOLD="$saved\\CertLog\\LabCA.edb"
    fail_case saved-crl-unreadable "LabCA.crl) failed. The live files are unchanged."
    HOLD="$saved\\CertSrv\\CertEnroll\\LabCA.crl"
    fail_case register "pfnRestoreRegister("
    certadm_knob CertSrvRestoreRegisterW
    # Renames: a live log that cannot be moved aside after the database was replaced, and the
    # checkpoint file (not in the backup) that cannot go after every file was replaced.
    fail_case live-log-held "edb0000A.log.qm0~) failed. The live files are unchanged."
    HOLD="$live\\edb0000A.log"
    fail_case other-file-held "edb.chk.qm0~) failed. The live files are unchanged."
    HOLD="$live\\edb.chk"
    fail_case complete "pfnRestRegComplete("
    certadm_knob CertSrvRestoreRegisterComplete
}
