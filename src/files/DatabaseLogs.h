#pragma once
// The logs of the database engine that the directory and the certification authority run on:
// "edb" followed by the log's generation in hexadecimal (edb0000A.log follows edb00009.log).

#include "text/Strings.h"

#include <windows.h>

namespace DatabaseLogs
{
    // The generation of a log's path: the hexadecimal number after the first three characters of
    // its file name, up to its last dot (edb0001A.log gives 0x1A); 0 when there is none.
    ULONG Generation(const String& path);

    // The lowest and highest generations of the logs, in any order; 0 and 0 for none.
    void Range(const StringList& paths, ULONG& lowest, ULONG& highest);

    // Whether a file name is "edb", a generation of five to eight hexadecimal digits, ".log"
    // (any case): a log of a generation, not the checkpoint, the current log or a reserve log.
    bool IsGenerationName(const String& name);
}
