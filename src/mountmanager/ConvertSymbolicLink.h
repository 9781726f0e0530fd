#pragma once
// The one export of MountManager.dll, shared by the module and by the code that loads it.

#include <windows.h>

// Resolves one step of an object-manager name such as "\??\C:" or "\DosDevices\C:": when the
// name is a symbolic link, target receives the link's target ("\Device\HarddiskVolume1").
// A name that is not a symbolic link (an object of another kind, or a name under which nothing
// is registered) is already resolved and is copied to target unchanged, so a caller may resolve
// a result once more without knowing whether it is itself a link.
// Returns non-zero on success. Returns zero with the last error set when an argument is missing,
// the link cannot be opened or read (for example access denied), or target (targetChars
// characters, terminator included) is too small; target is then left empty.
using ConvertSymbolicLinkProc = BOOL(WINAPI*)(const wchar_t* linkName, wchar_t* target, DWORD targetChars);

// The name under which the module exports it.
constexpr const char* ConvertSymbolicLinkExport = "ConvertSymbolicLink";
