#pragma once
// The cluster component: the cluster service writes its configuration database into
// <directory>\Cluster on backup and takes it back from there on restore.

#include "errors/Exceptions.h"
#include "text/Strings.h"

class ClusterDatabase
{
public:
    // The folder the cluster service writes at the top of the target: the whole backup.
    static constexpr const wchar_t* BackupFolder = L"Cluster";

    // Has the local cluster service back up its database into directory\Cluster, which is
    // shared under the cluster's name for the time of that backup only: the share is removed on
    // every way out, a failed database backup included. Throws ClusterDatabaseException; the
    // cluster handle is closed on every failure but its own close.
    static void Backup(const String& directory);

    // Hands directory\Cluster back to the cluster service. Before the cluster library is asked
    // anything, refuses "No cluster backup in <directory>" when directory\Cluster holds no CLUSDB
    // file, and a directory equal to or below %SystemRoot%\Cluster (the database the restore
    // replaces). Other active nodes are shut down only with forceShutdown; a quorum disk of
    // another layout is taken only when a drive letter is given (that retry always forces).
    // Throws ClusterDatabaseException.
    static void Restore(const String& directory, bool forceShutdown, const String& quorumDriveLetter);
};
