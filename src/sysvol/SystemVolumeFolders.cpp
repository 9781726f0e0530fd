#include "sysvol/SystemVolumeFolders.h"

#include "common/FileSystem.h"

namespace SystemVolumeFolders
{
    StringList Live()
    {
        EnvironmentVariables variables;
        String root;
        if (variables.Expand(L"%SystemRoot%", root) != S_OK || root.empty())
            return StringList();
        return {Directories::RemoveBackslash(root) + L"\\SysVol"};
    }
}
