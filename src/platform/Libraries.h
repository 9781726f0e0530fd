#pragma once

#include "text/Strings.h"

#include <windows.h>

// Where libraries come from. Platform libraries are loaded only when needed, from the system
// folder: a process that holds the backup and restore privileges must never take one through the
// search path, where the program's folder or the current folder may hold a planted library of the
// same name. What ships beside the module is found in the module's own folder.
namespace Libraries
{
    // The system folder ("C:\WINDOWS\system32", no trailing backslash); empty, with the last
    // error set, when it cannot be read.
    String SystemFolder();
    // Loads <system folder>\name (a bare file name, "certadm.dll"); the library's own imports
    // are looked up from that folder first. Null, with the last error set, when it cannot be
    // loaded.
    HMODULE LoadFromSystemFolder(const wchar_t* name);
    // The folder of the module that holds this code (the backup module, or a program that links
    // the code itself), with a trailing backslash; empty, with the last error set, when it
    // cannot be found.
    String OwnModuleFolder();
}
