#pragma once
// One run of the shell's file operation (SHFileOperationW) with its sources, destinations and
// flags. shell32.dll is loaded for the run and freed after it.

#include "text/Strings.h"

#include <windows.h>
#include <shellapi.h>

class ShellFileOperation
{
public:
    ShellFileOperation();

    // Appends one path; false when memory runs out.
    bool AddSource(const String& path) noexcept;
    bool AddDestination(const String& path) noexcept;

    // The function (FO_MOVE, FO_COPY, FO_DELETE, FO_RENAME), the parent window (may be null) and
    // the switches, each adding its shell flag. Marks the flags as set.
    void SetFlags(UINT function, HWND window, bool silent, bool allowUndo, bool filesOnly, bool noConfirmation,
                  bool noConfirmationForNewDirectories, bool renameOnCollision, bool simpleProgress);

    // The flags SetFlags put together.
    FILEOP_FLAGS GetFlags() const { return m_operation.fFlags; }

    // Calls the shell when the operation is complete (flags set, a known function, a source, and
    // for all but delete one destination or one per source); each out parameter may be null.
    // started tells whether the shell was called, result is its answer. True when it answered 0.
    bool Run(bool* started, int* result, bool* anyAborted);

private:
    bool m_flagsSet = false;
    bool m_started = false;
    StringList m_sources;
    StringList m_destinations;
    SHFILEOPSTRUCTW m_operation;
    String m_title;
};
