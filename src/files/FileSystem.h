#pragma once
// File-system operations on long paths (\\?\ and \\?\UNC\), with one set of rules for roots,
// trailing backslashes and UNC paths. They throw FileSystemException only for an empty argument
// or a path whose root cannot be found; every other failure is returned, and the caller reads
// the system's last error.

#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "files/ReplacementSet.h"
#include "files/SparseFileWriter.h"
#include "text/Strings.h"

#include <windows.h>

#include <vector>

namespace Paths
{
    // The folder of the module that holds this code (the backup module, or a program that links
    // the code itself), with a trailing backslash; empty, with the last error set, when it
    // cannot be found.
    String OwnModuleFolder();
}

// Expansion of "%SystemRoot%" and the like; failures are collected in an error text.
class EnvironmentVariables
{
public:
    // S_OK, or E_FAIL with a message appended to the error text.
    HRESULT Expand(const String& source, String& expanded);
    // "%SystemRoot%\<name>", without a doubled backslash; as Expand when the root cannot be
    // expanded (folder is then empty).
    HRESULT ExpandBelowSystemRoot(const String& name, String& folder);
    String GetError() const { return m_error; }

private:
    String m_error;
};

// Platform libraries that are loaded only when needed. A process that holds the backup and
// restore privileges must never take one through the search path, where the program's folder
// or the current folder may hold a planted library of the same name.
namespace Libraries
{
    // The system folder ("C:\WINDOWS\system32", no trailing backslash); empty, with the last
    // error set, when it cannot be read.
    String SystemFolder();
    // Loads <system folder>\name (a bare file name, "certadm.dll"); the library's own imports
    // are looked up from that folder first. Null, with the last error set, when it cannot be
    // loaded.
    HMODULE LoadFromSystemFolder(const wchar_t* name);
}
