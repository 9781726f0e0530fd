# A node of a running cluster: the programs in the Harborline folder get a clusapi.dll whose
# cluster (named by HKLM\Cluster "ClusterName", lab/registry/cluster) keeps its database in
# C:\windows\cluster, and the lab's netapi32.dll for the share its backup goes through.
SYSTEM_STANDINS+=(lab/clusapi/clusapi.dll lab/netapi/netapi32.dll)

# The cluster's database: bytes a text-mode copy would change (NUL, CR LF, 0xFF).
provision_cluster() {
    local database=$WINEPREFIX/drive_c/windows/cluster
    mkdir -p "$database"
    { printf 'CLUSDB\0\r\n\377'; seq 1 20000; } >"$database/CLUSDB"
    printf 'quorum log\r\n\0\001\002' >"$database/quolog.log"
}
