#!/bin/bash
# The cluster database on lab cluster nodes: the backup through a share under the cluster's
# name, the share a failed backup leaves behind, the restore's retries for active nodes (5056)
# and a quorum disk of another layout (5086), and the saved database put back.
source "$(dirname "$0")/lib/common.bash"

lab_machine cluster --os 2003 --role cluster
NODE=$MACHINE STATE=$C/lab/cluster
mkdir -p "$C/cl"
# The cluster API's calls since the last look, joined by ";", and a fresh log.
# The node's state is asked by ssbr's report as well as by the module's gate: left out.
calls() { tr -d '\r' <"$STATE/calls.log" 2>/dev/null | grep -v '^GetNodeClusterState' | tr '\n' ';'; rm -f "$STATE/calls.log"; }

# A node that is no domain controller (one that is both: tests/lab/libraries.sh).
run_in "$NODE" ssbr status
expect_contains "cluster node" $'Domain controller:                 no\nCluster node:                      yes' "$OUT"

# --- backup: the share stands, pointing at the folder, only while the cluster service writes ----
calls >/dev/null
run_in "$NODE" ssbr backup 'C:\cl\b1' --cluster
expect_eq "backup: exit and stderr" "0 " "$RC $ERR"
expect_eq "backup: cluster calls" "OpenCluster(null) -> 0;GetClusterInformation(null, 0, 284) -> 0;GetClusterInformation(buffer, 11, 284) -> 0;BackupClusterDatabase(C:\\cl\\b1\\Cluster) shared -> 0;CloseCluster() -> 0;" "$(calls)"
expect_eq "backup: no share left" "" "$(ls "$C/lab/shares")"
expect_eq "backup: the database's files" "CLUSDB quolog.log " "$(ls "$C/cl/b1/Cluster" | tr '\n' ' ')"
same_files "backup" "$C/windows/cluster" "$C/cl/b1/Cluster" CLUSDB quolog.log

# A failure inside the cluster service removes the share all the same (it is open to everyone),
# so the next backup is not stopped by it.
echo 1117 >"$STATE/backup-results"
run_in "$NODE" ssbr backup 'C:\cl\b2' --cluster
expect_contains "failed database backup" \
    $'Backup:\nClusterDatabaseException ERROR: BkClusterDB(C:\\cl\\b2\\Cluster) failed: Error = 0x0000045D' "$RC $ERR"
expect_contains "failed database backup: the handle is closed" "-> 1117;CloseCluster() -> 0;" "$(calls)"
expect_eq "failed database backup: no share left" "" "$(ls "$C/lab/shares")"
run_in "$NODE" ssbr backup 'C:\cl\b3' --cluster
expect_eq "backup after a failed one: exit and stderr" "0 " "$RC $ERR"
expect_eq "backup after a failed one: no share left" "" "$(ls "$C/lab/shares")"
calls >/dev/null

# --- restore -----------------------------------------------------------------------------------
# A backup inside the database folder the restore writes: refused before the cluster library is
# asked anything, as a forced restore could stop other nodes (folders without a cluster backup:
# tests/lab/hostile/cluster.bash).
mkdir -p "$C/windows/cluster/saved"
cp -r "$C/cl/b1/Cluster" "$C/windows/cluster/saved/"
echo 5056 >"$STATE/restore-results"
run_in "$NODE" ssbr restore 'C:\windows\cluster\saved' --no-verify --cluster --force-cluster-shutdown
expect_exit "backup inside the database folder" 1 \
    $'Restore:\nClusterDatabaseException ERROR: The backup folder C:\\windows\\cluster\\saved lies in C:\\windows\\Cluster, which the restore writes'
expect_eq "backup inside the database folder: no cluster call" "" "$(calls)"
expect_eq "backup inside the database folder: the restore result was never taken" "5056" "$(cat "$STATE/restore-results")"
expect_eq "backup inside the database folder: the database is as it was" "" "$(cmp "$C/windows/cluster/CLUSDB" "$C/cl/b1/Cluster/CLUSDB")"
rm -rf "$C/windows/cluster/saved"

NODES_ACTIVE="The operation failed because other cluster nodes are currently active. The Cluster service must be shut down on all other nodes in order for this operation to succeed."
QUORUM_LAYOUT="The restore routine cannot find a quorum resource with the same partition layout as the quorum resource described in the backup.  The existing quorum resource must have a layout (number of partitions and offsets to each partition) identical to the layout stored in the backup."
R='RestoreClusterDatabase(C:\cl\b1\Cluster,'
# codes returned in turn|ssbr options|exit|attempts|message (a long text is the whole message).
# The live database differs from the saved one, so a failed restore that wrote it would show.
while IFS='|' read -r results options code expected message; do
    echo "$results" >"$STATE/restore-results"
    echo changed >"$C/windows/cluster/CLUSDB"
    # shellcheck disable=SC2086
    run_in "$NODE" ssbr restore 'C:\cl\b1' --no-verify --cluster $options
    what="restore returning [$results] with [$options]"
    expect_eq "$what: exit" "$code" "$RC"
    expect_eq "$what: attempts" "$expected" "$(calls | tr ';' '\n' | grep '^Restore' | sed 's/ -> .*//' | tr '\n' ';')"
    [ "$code" = 0 ] || expect_eq "$what: the live database" changed "$(cat "$C/windows/cluster/CLUSDB")"
    case $message in
        *" failed: "*) expect_contains "$what: message" $'Restore:\nClusterDatabaseException ERROR: '"$message" "$ERR" ;;
        ?*) expect_contains "$what: message" $'Restore:\nClusterDatabaseException ERROR: '"$message"$'\nError = 0x80004005' "$ERR" ;;
    esac
done <<CASES
5056||1|$R 0, null);|$NODES_ACTIVE
5056|--force-cluster-shutdown|0|$R 0, null);$R 1, null);|
5086|--quorum-drive Q|0|$R 0, null);$R 1, Q);|
5086|--force-cluster-shutdown|1|$R 0, null);|$QUORUM_LAYOUT
5056 5086|--force-cluster-shutdown|1|$R 0, null);$R 1, null);|$QUORUM_LAYOUT
1117|--quorum-drive Q|1|$R 0, null);|RestoreClusterDB(C:\cl\b1\Cluster, Q) failed: Error = 0x0000045D
5056 5086 1117|--force-cluster-shutdown --quorum-drive Q|1|$R 0, null);$R 1, null);$R 1, Q);|RestoreClusterDB(C:\cl\b1\Cluster, Q) failed: Error = 0x0000045D
CASES

# Both options reach the component; the last attempt's success puts the saved database back.
echo changed >"$C/windows/cluster/CLUSDB"
echo "5056 5086 0" >"$STATE/restore-results"
run_in "$NODE" ssbr restore 'C:\cl\b1' --no-verify --cluster --force-cluster-shutdown --quorum-drive Q
expect_eq "forced restore onto another quorum drive" \
    "0 $R 0, null) -> 5056;$R 1, null) -> 5086;$R 1, Q) -> 0;" "$RC $(calls)"
cmp -s "$C/windows/cluster/CLUSDB" "$C/cl/b1/Cluster/CLUSDB" || fail "restore: the saved database is not back"

finish
