#include "cluster/ClusterDatabaseFolders.h"

#include "platform/EnvironmentVariables.h"

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
