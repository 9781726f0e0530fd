# The directory's hostile cases: the restore puts back only generation-numbered logs into the log
# folder and databases that are not empty, each saved file once, and reads every count, length and
# the expiry token's size from the manifest within a limit before it uses them. Entries that lead
# out of the log folder, name another file of it, or repeat, are refused before the restore is
# prepared. Sourced by tests/lab/hostile.sh.
HOSTILE_COMPONENTS+=(activedirectory)
HOSTILE_OPTION_activedirectory=--active-directory HOSTILE_ENV_activedirectory=SAFEBOOT_OPTION=DSREPAIR
HOSTILE_LIVE_activedirectory=windows/NTDS
HOSTILE_ROLES+=(dc)

# ad_manifest PERL: edits the case's manifest in place, the whole file as $_.
ad_manifest() { perl -0pi -e "$1" "$CASE/ActiveDirectoryBackupSet.xml"; }

# log_entry BFT ORIGINAL: puts an entry first in the log list, and a file of the entry's name (the
# last part of ORIGINAL) in the case.
log_entry() {
    ENTRY_BFT=$1 ENTRY_ORIGINAL=$2 ENTRY_NAME=${2##*\\} \
        ad_manifest 's|<logfiles>|<logfiles><file name="$ENV{ENTRY_NAME}" bft="$ENV{ENTRY_BFT}" original="$ENV{ENTRY_ORIGINAL}"/>|'
    case ${2##*\\} in ''|.|..) ;; *) echo planted >"$CASE/${2##*\\}" ;; esac
}

# The case's manifest as the restore names it.
ad_manifest_win() { echo "$CASE_WIN\\ActiveDirectoryBackupSet.xml"; }

hostile_cases_activedirectory() {
    local not_log="which is no generation-numbered log (edb<generation>.log)"
    new_case valid 0
    new_case no-folder 1 none; expect_text "No Active Directory backup in $CASE_WIN"
    new_case no-manifest 1; rm "$CASE/ActiveDirectoryBackupSet.xml"; expect_text "No Active Directory backup in $CASE_WIN"
    new_case wrong-root 1; sed -i 's/type="ActiveDirectory"/type="CertificateServices"/' "$CASE/ActiveDirectoryBackupSet.xml"

    # Logs: only edb<generation>.log goes into the log folder, whatever path was recorded; the
    # checkpoint, the current and the reserve logs are the service's.
    new_case log-outside 1; log_entry 33 'C:\hostile-outside\victim'
    expect_text "The backup in $CASE_WIN lists the log C:\\hostile-outside\\victim, $not_log"
    new_case log-up 1; log_entry 32 'C:\WINDOWS\NTDS\..\..\hostile-outside\victim'; expect_text "$not_log"
    new_case log-folder 1; log_entry 33 'C:\WINDOWS\NTDS\..'; expect_text "lists the log C:\\WINDOWS\\NTDS\\.., $not_log"
    new_case log-checkpoint 1; log_entry 33 'C:\WINDOWS\NTDS\edb.chk'; expect_text "lists the log C:\\WINDOWS\\NTDS\\edb.chk, $not_log"
    new_case log-current 1; log_entry 32 'C:\WINDOWS\NTDS\edb.log'; expect_text "lists the log C:\\WINDOWS\\NTDS\\edb.log, $not_log"
    new_case log-reserve 1; log_entry 37 'C:\WINDOWS\NTDS\res1.log'; expect_text "lists the log C:\\WINDOWS\\NTDS\\res1.log, $not_log"
    new_case log-stream 1; log_entry 33 'C:\WINDOWS\NTDS\edb00012.log:hidden'; expect_text "$not_log"
    new_case log-trailing-dot 1; log_entry 33 'C:\WINDOWS\NTDS\edb00012.log.'; expect_text "$not_log"
    new_case log-nine-digits 1; log_entry 33 'C:\WINDOWS\NTDS\edb000000012.log'; expect_text "$not_log"
    new_case log-not-hex 1; log_entry 33 'C:\WINDOWS\NTDS\edb0001G.log'; expect_text "$not_log"

    # Each saved file once: the newest log 100,000 times, a log again in capitals, the database twice.
    new_case log-repeated 1
    ad_manifest 's|<logfiles>(<file [^>]*/>).*?</logfiles>|"<logfiles>" . ($1 x 100000) . "</logfiles>"|se'
    expect_text "The backup in $CASE_WIN lists edb00011.log more than once"
    new_case log-capitals 1; log_entry 33 'C:\WINDOWS\NTDS\EDB0000A.LOG'; expect_text "lists edb0000A.log more than once"
    new_case database-twice 1; ad_manifest 's|<dbfiles>(<file [^>]*/>)|<dbfiles>$1$1|'
    expect_text "The backup in $CASE_WIN lists ntds.dit more than once"

    # Databases: present, not empty, a plain name.
    new_case database-empty 1; : >"$CASE/ntds.dit"; expect_text "$CASE_WIN\\ntds.dit is empty, not a directory database"
    new_case database-none 1; ad_manifest 's|<dbfiles>.*?</dbfiles>|<dbfiles/>|s'; expect_text "No Active Directory backup in $CASE_WIN"
    new_case database-folder 1; rm "$CASE/ntds.dit"; mkdir "$CASE/ntds.dit"
    expect_text "CopyFile($CASE_WIN\\ntds.dit, C:\\WINDOWS\\NTDS\\ntds.dit) failed."
    new_case database-stream 1
    ad_manifest 's|<dbfiles>|<dbfiles><file name="ntds.dit:x" bft="68" original="C:\\WINDOWS\\NTDS\\ntds.dit:x"/>|'
    expect_text "lists the database C:\\WINDOWS\\NTDS\\ntds.dit:x, whose name is no plain file name"

    # The token's size is bounded by its own text before anything is sized by it.
    new_case token-4gib 1; ad_manifest 's|<expiration size="\d+"|<expiration size="4294967295"|'
    expect_text "The expiry token in $(ad_manifest_win) is damaged: its recorded size is larger than its text holds"
    new_case token-wraps 1; ad_manifest 's|<expiration size="\d+"|<expiration size="18446744073709551632"|'
    expect_text "The expiry token in $(ad_manifest_win) is damaged"
    new_case token-longer 1; ad_manifest 's|<expiration size="\d+"|<expiration size="17"|'
    expect_text "The expiry token in $(ad_manifest_win) is damaged"

    # Counts and lengths read from the manifest.
    new_case too-many-logs 1
    ad_manifest 's|<logfiles>|"<logfiles>" . join("", map { sprintf(q{<file name="edb%05X.log" bft="33" original="C:\\WINDOWS\\NTDS\\edb%05X.log"/>}, $_, $_) } 0x20 .. 0x20 + 100000)|e'
    expect_text "$(ad_manifest_win) lists more than 100000 files in <logfiles>"
    new_case long-path 1; log_entry 33 "C:\\$(printf 'a%.0s' $(seq 40000))\\edb00012.log"
    expect_text "$(ad_manifest_win) holds a path longer than 32767 characters"
    new_case marker-zero 1; log_entry 0 'C:\WINDOWS\NTDS\edb00012.log'
    expect_text "$(ad_manifest_win) holds a file whose type is no number from 1 to 65535"
    new_case manifest-huge 1; ad_manifest 's|</BackupSet>|"<!--" . ("x" x (33 * 1024 * 1024)) . "--></BackupSet>"|e'
    expect_text "$(ad_manifest_win) is larger than 32 MiB, more than a directory backup's manifest holds"

    # Restored correctly: a log recorded elsewhere goes into the log folder under its own name; the
    # log directory and databases are the service's, so such entries in the log list are passed over.
    new_case log-elsewhere 0; log_entry 33 'C:\hostile-outside\edb00012.log'
    new_case log-directory 0; log_entry 130 'C:\hostile-outside'
    new_case database-in-logs 0; log_entry 68 'C:\hostile-outside\victim'
}
