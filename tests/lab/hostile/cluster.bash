# The cluster's hostile cases: the backup's Cluster folder is handed whole to the cluster
# service, which copies it over its live folder, so the restore must refuse before it asks
# anything: a CLUSDB that is missing, not a plain file, empty, too large or no hive; links; and
# any entry the service does not write itself (a dll, hidden names, folders, streams, too many
# checkpoints). Sourced by tests/lab/hostile.sh.
HOSTILE_COMPONENTS+=(cluster)
HOSTILE_OPTION_cluster=--cluster
HOSTILE_ROLES+=(cluster)
HOSTILE_LIVE_cluster=windows/cluster
# The cluster API stand-in logs every call, ssbr's report of the node's state included.
HOSTILE_SCRATCH_cluster=lab/cluster

hostile_cases_cluster() {
    local no_hive='is not a cluster database: it does not load as a hive'
    new_case valid 0
    # What the service itself may leave beside its database.
    new_case valid-checkpoints 0; printf 'checkpoint' >"$CASE/Cluster/chk0001A.tmp"; : >"$CASE/Cluster/clusbackup.dat"
    new_case valid-database-only 0; rm "$CASE/Cluster/quolog.log"

    # No backup at all.
    new_case no-folder 1 none; expect_text "No cluster backup in $CASE_WIN"
    new_case no-cluster-folder 1; rm -r "$CASE/Cluster"; expect_text "No cluster backup in $CASE_WIN"
    new_case empty-cluster-folder 1; rm "$CASE/Cluster/"*; expect_text "No cluster backup in $CASE_WIN"
    new_case no-database 1; rm "$CASE/Cluster/CLUSDB"; expect_text "No cluster backup in $CASE_WIN"
    new_case database-folder 1; rm "$CASE/Cluster/CLUSDB"; mkdir "$CASE/Cluster/CLUSDB"
    cp "$OUTSIDE/base-cluster/Cluster/CLUSDB" "$CASE/Cluster/CLUSDB/"; expect_text "No cluster backup in $CASE_WIN"

    # A database that is no hive (whatever the platform's loader refuses is refused alike).
    new_case empty-database 1; : >"$CASE/Cluster/CLUSDB"; expect_text "$CASE_WIN\\Cluster\\CLUSDB is empty, not a cluster database"
    new_case truncated-header 1; truncate -s 10 "$CASE/Cluster/CLUSDB"; expect_text "$CASE_WIN\\Cluster\\CLUSDB $no_hive"
    # Cut after whole lines, the platform decides whether what is left is a hive.
    new_case truncated-half any; truncate -s "$(($(stat -c %s "$CASE/Cluster/CLUSDB") / 2))" "$CASE/Cluster/CLUSDB"
    new_case regf-garbage 1; { printf 'regf'; head -c 8188 /dev/urandom; } >"$CASE/Cluster/CLUSDB"
    expect_text "$CASE_WIN\\Cluster\\CLUSDB $no_hive"
    new_case huge-database 1; truncate -s 300M "$CASE/Cluster/CLUSDB"
    expect_text "$CASE_WIN\\Cluster\\CLUSDB is larger than 256 MiB, the most a cluster backup file holds"
    new_case huge-log 1; truncate -s 300M "$CASE/Cluster/quolog.log"
    expect_text "$CASE_WIN\\Cluster\\quolog.log is larger than 256 MiB, the most a cluster backup file holds"

    # Entries the service does not write.
    local name
    for name in evil.dll .hidden desktop.ini CLUSDB.old chkZZ.tmp chk123456789.tmp quolog.log.bak "$(printf 'x%.0s' {1..200})"; do
        new_case "extra-${name:0:20}" 1; printf 'MZ planted\r\n' >"$CASE/Cluster/$name"
        expect_text "$CASE_WIN\\Cluster\\$name is not a file of a cluster backup"
    done
    new_case subfolder 1; mkdir "$CASE/Cluster/sub"; expect_text "$CASE_WIN\\Cluster\\sub is not a file of a cluster backup"
    # A name with a colon is a stream on Windows; Wine shows such a Unix name as a file name.
    new_case stream-name 1; printf 'MZ' >"$CASE/Cluster/CLUSDB:evil.dll"
    expect_text "$CASE_WIN\\Cluster\\CLUSDB:evil.dll is not a file of a cluster backup"
    new_case too-many 1
    for name in $(seq 1 70); do : >"$CASE/Cluster/chk$(printf '%04X' "$name").tmp"; done
    expect_text "$CASE_WIN\\Cluster holds more than 64 entries, more than a cluster backup holds"

    # Links: folder links are refused; Wine shows a link to a file as the file itself.
    new_case cluster-folder-link 1; rm -r "$CASE/Cluster"; ln -s "$OUTSIDE/base-cluster/Cluster" "$CASE/Cluster"
    expect_text "Refused to follow the link at $CASE_WIN\\Cluster"
    new_case folder-link-inside 1; ln -s "$OUTSIDE" "$CASE/Cluster/sub"
    expect_text "Refused to follow the link at $CASE_WIN\\Cluster\\sub"
    new_case database-link any; rm "$CASE/Cluster/CLUSDB"; ln -s "$OUTSIDE/base-cluster/Cluster/CLUSDB" "$CASE/Cluster/CLUSDB"
    new_case database-link-victim 1; rm "$CASE/Cluster/CLUSDB"; ln -s "$OUTSIDE/victim" "$CASE/Cluster/CLUSDB"
    expect_text "$CASE_WIN\\Cluster\\CLUSDB $no_hive"
}
