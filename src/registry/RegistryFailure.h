#pragma once
// The registry component's failure messages: the failing call with its arguments, what it
// returned, and the error text. Where a call returns its code, the text describes that code:
// the registry calls do not set the thread's last error, which may tell of something else.

#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "text/Strings.h"

#include <windows.h>

namespace RegistryFailure
{
    // Keys and handles appear in messages as numbers (HKEY_LOCAL_MACHINE is -2147483646).
    inline int Number(HKEY key)
    {
        return static_cast<int>(reinterpret_cast<LONG_PTR>(key));
    }

    // Throws RegistryServiceException "<what>\n<error text>".
    [[noreturn]] inline void Throw(const String& what, const String& errorText)
    {
        throw RegistryServiceException(what + L"\n" + errorText);
    }

    // "<text>\n<error text>" for a failure that is not one call's, formatted from textFormat.
    template <typename... Arguments>
    [[noreturn]] void ThrowWithLastError(const wchar_t* textFormat, Arguments... arguments)
    {
        const String errorText = ErrorText::FormatLastError();
        Throw(Strings::Format(textFormat, arguments...), errorText);
    }

    // "<call> failed: <code>\n<text of code>" for a registry call that returned code; call is
    // formatted from callFormat and arguments.
    template <typename... Arguments>
    [[noreturn]] void ThrowCallFailed(LONG code, const wchar_t* callFormat, Arguments... arguments)
    {
        const String errorText = ErrorText::Format(static_cast<DWORD>(code));
        Throw(Strings::Format(callFormat, arguments...) + Strings::Format(L" failed: %d", static_cast<int>(code)),
              errorText);
    }

    // The backup's form of the above, with a period after the code: "... failed: <code>.\n...".
    template <typename... Arguments>
    [[noreturn]] void ThrowSaveCallFailed(LONG code, const wchar_t* callFormat, Arguments... arguments)
    {
        const String errorText = ErrorText::Format(static_cast<DWORD>(code));
        Throw(Strings::Format(callFormat, arguments...) + Strings::Format(L" failed: %d.", static_cast<int>(code)),
              errorText);
    }

    // "<call> failed.\n<error text>" for a call that reports through the thread's last error.
    template <typename... Arguments>
    [[noreturn]] void ThrowFailed(const wchar_t* callFormat, Arguments... arguments)
    {
        const String errorText = ErrorText::FormatLastError();
        Throw(Strings::Format(callFormat, arguments...) + L" failed.", errorText);
    }
}
