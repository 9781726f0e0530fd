#pragma once
// Names a SysVol backup may hold. A saved tree or manifest can come from anywhere; a name that
// Windows reads as something else (a device, a stream, a wildcard, a name it trims) must never
// reach the live tree, where the replication service and every client read it.

#include "common/Strings.h"

namespace SystemVolumeNames
{
    // The most characters one name of a folder holds.
    constexpr size_t MostCharacters = 255;

    // Whether Windows holds name as it is, as one entry of a folder: 1 to 255 characters, no
    // control character, none of < > : " / \ | ? *, no trailing dot or blank, and no device name
    // (CON, PRN, AUX, NUL, COM0 to COM9, LPT0 to LPT9, CONIN$, CONOUT$), which Windows still
    // reads as the device with an extension or with blanks before the dot.
    bool IsPlain(const String& name);

    // Whether path is at most mostParts names separated by single backslashes, each plain.
    bool IsPlainPath(const String& path, size_t mostParts);
}
