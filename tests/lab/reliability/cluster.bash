# The cluster database: the component's only write is the cluster service's restore call, made
# after the backup is checked; a call that fails (the lab cluster API's restore-results knob)
# leaves the live database as it was (the retries and their texts: tests/lab/cluster.sh).
RELIABILITY_COMPONENTS+=(cluster)
RELIABILITY_OPTION_cluster=--cluster
RELIABILITY_LIVE_cluster=windows/cluster

# The live database differs from the saved one, so a restore that went ahead would show.
reliability_setup_cluster() {
    echo 'echo changed since the backup> C:\windows\cluster\CLUSDB'
}

reliability_cases_cluster() {
    local knob='C:\lab\cluster\restore-results'
    fail_case restore-fails "RestoreClusterDB($BACKUP_WIN\\Cluster, ) failed: Error = 0x0000045D"
    BEFORE+=("echo 1117> $knob") AFTER+=("del $knob")
}
