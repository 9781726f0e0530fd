#include "sysvol/SystemVolumeFolders.h"

#include "platform/EnvironmentVariables.h"

namespace SystemVolumeFolders
{
    StringList Live()
    {
        String folder;
        if (EnvironmentVariables().ExpandBelowSystemRoot(L"SysVol", folder) != S_OK)
            return StringList();
        return {folder};
    }
}
