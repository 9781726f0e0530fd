#pragma once
// The live folder of the cluster database, which a restore of it replaces.

#include "text/Strings.h"

namespace ClusterDatabaseFolders
{
    // %SystemRoot%\Cluster, where the cluster service keeps its database; empty when the root
    // cannot be expanded. Never throws but for memory.
    StringList Live();
}
