#pragma once
// The cluster component: the cluster service writes its configuration database into
// <directory>\Cluster on backup and takes it back from there on restore.

#include "common/Exceptions.h"
#include "common/Strings.h"

class ClusterDatabase
{
public:
    // Has the local cluster service back up its database into directory\Cluster, which is
    // shared under the cluster's name for the time of that backup. Throws
    // ClusterDatabaseException; the cluster handle is closed on every failure but its own
    // close. When the cluster service fails, the share stays and is the reason a later backup
    // fails at NetShareAdd until someone removes it.
    static void Backup(const String& directory);

    // Hands directory\Cluster back to the cluster service. Other active nodes are shut down
    // only with forceShutdown; a quorum disk of another layout is taken only when a drive
    // letter is given (that retry always forces). Throws ClusterDatabaseException.
    static void Restore(const String& directory, bool forceShutdown, const String& quorumDriveLetter);
};
