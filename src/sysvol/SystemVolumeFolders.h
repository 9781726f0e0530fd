#pragma once
// The live folder the SysVol component copies from and restores into.

#include "text/Strings.h"

namespace SystemVolumeFolders
{
    // %SystemRoot%\SysVol, as the component reads it; empty when the root cannot be expanded.
    // Never throws but for memory.
    StringList Live();
}
