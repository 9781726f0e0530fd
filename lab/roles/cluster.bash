# A node of a running cluster: the programs in the Harborline folder get a clusapi.dll whose
# cluster (named by HKLM\Cluster "ClusterName", lab/registry/cluster) keeps its database in
# C:\windows\cluster, and the lab's netapi32.dll for the share its backup goes through.
SYSTEM_STANDINS+=(lab/clusapi/clusapi.dll lab/netapi/netapi32.dll)

# The cluster's database: a hive (the restore loads it before it hands the backup over), saved
# from the cluster's key with a value of bytes a text-mode copy would change (NUL, CR LF, 0xFF).
provision_cluster() {
    local database=$WINEPREFIX/drive_c/windows/cluster
    mkdir -p "$database"
    rm -f "$database/CLUSDB"
    wine reg add 'HKLM\Cluster\Database' /v Bytes /t REG_BINARY /d 00430d0aff /f >/dev/null 2>&1 || return 1
    wine 'C:\Program Files\Harborline\hivetool.exe' save 'HKLM\Cluster' 'C:\windows\cluster\CLUSDB' >/dev/null 2>&1 ||
        return 1
    [ -s "$database/CLUSDB" ] || return 1
    printf 'quorum log\r\n\0\001\002' >"$database/quolog.log"
}
