#pragma once
// The module-wide state: instance handle, lock count (live objects and class-factory locks).

#include "text/Strings.h"

#include <windows.h>

namespace Module
{
    void Lock();
    void Unlock();
    LONG GetLockCount();
    HINSTANCE GetInstance();
    // The module's own file path, as registered under InprocServer32.
    String GetModulePath();
}
