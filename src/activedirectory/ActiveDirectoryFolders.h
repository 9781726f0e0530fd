#pragma once
// The live folders of the directory database and its logs.

#include "text/Strings.h"

namespace ActiveDirectoryFolders
{
    // The folders the directory service is configured with (NTDS parameters): the database
    // file's folder, the working folder and the log folder, those that are set. Never throws but
    // for memory.
    StringList Live();
}
