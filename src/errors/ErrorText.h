#pragma once
// The error texts that end almost every message: "Error = 0x%08lX" and the system's text.

#include "text/Strings.h"

#include <windows.h>

namespace ErrorText
{
    // "Error = 0x%08lX" of the code, plus a blank and the system's text (line end kept) when
    // the system has one for it. Never throws.
    String Format(DWORD code);

    // Format of the calling thread's last error, read before anything else can change it.
    String FormatLastError();

    // Format of a Win32 code as an HRESULT: positive values map to 0x8007xxxx; 0 and negative
    // values are used unchanged.
    String FormatWin32(LONG code);
}
