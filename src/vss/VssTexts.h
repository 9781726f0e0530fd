#pragma once
// Texts a person can act on for the codes a VSS requestor meets: every VSS_E_* value (writer
// failure codes among them), the writer states and the writers' restore methods.

#include "text/Strings.h"

#include <windows.h>
#include <vss.h>
#include <vswriter.h>

namespace VssTexts
{
    // "NAME (0x%08lX): sentence." for a VSS code; for any other code the system's error text
    // ("Error = 0x%08lX ..."). Never throws but for memory.
    String Describe(HRESULT code);
    // The code's name ("VSS_E_UNEXPECTED"); null for a code outside the table.
    const wchar_t* Name(HRESULT code);
    // "VSS_WS_FAILED_AT_FREEZE"; "writer state %d" for a value outside the enumeration.
    String WriterStateName(VSS_WRITER_STATE state);
    // Whether a writer in this state has failed its part.
    bool IsFailedState(VSS_WRITER_STATE state);
    // "VSS_RME_RESTORE_AT_REBOOT"; "restore method %d" outside the enumeration.
    String RestoreMethodName(VSS_RESTOREMETHOD_ENUM method);
}
