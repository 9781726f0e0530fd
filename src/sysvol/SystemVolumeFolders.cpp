#include "sysvol/SystemVolumeFolders.h"

#include "files/FileSystem.h"

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
