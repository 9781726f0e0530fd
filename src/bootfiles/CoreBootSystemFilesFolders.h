#pragma once
// The live folders the boot-files component copies from, and the staging folder its restore
// writes.

#include "text/Strings.h"

namespace CoreBootSystemFilesFolders
{
    // %SystemRoot%\System32 (the catalogs, protected files, performance files, metabase and key
    // store below it), the protection cache that Winlogon's SfcDllCache names (when set), the
    // machine keys below %AllUsersProfile%, and the staging folder "SystemStateRestore" at the
    // root of the system volume. Never throws but for memory.
    StringList Live();
}
