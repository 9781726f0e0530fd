#include "cluster/ClusterDatabaseFolders.h"

#include "files/FileSystem.h"

namespace ClusterDatabaseFolders
{
    StringList Live()
    {
        String folder;
        if (EnvironmentVariables().ExpandBelowSystemRoot(L"Cluster", folder) != S_OK)
            return StringList();
        return {folder};
    }
}
