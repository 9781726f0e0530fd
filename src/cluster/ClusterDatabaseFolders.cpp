#include "cluster/ClusterDatabaseFolders.h"

#include "common/FileSystem.h"

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
