#pragma once
// The one way a failed call is thrown: its message, formatted from a format whose last %s takes
// the error text, as any exception class that is made from a finished message. The message names
// the call and its arguments, and what separates them from the error text is the format's own:
//
//     Failure::ThrowLastError<ServiceException>(L"OpenService(%s) failed: %s", name);
//     Failure::ThrowCode<XmlException>(hr, L"load(%s) failed: %s", path.c_str());
//     Failure::ThrowCode<RegistryServiceException>(status, L"RegFlushKey(%d) failed: %d\n%s", key, status);

#include "errors/ErrorText.h"
#include "text/Strings.h"

#include <windows.h>

namespace Failure
{
    // Handles, keys and contexts appear in messages as signed decimal numbers
    // (HKEY_LOCAL_MACHINE is -2147483646).
    inline int Number(const void* handle)
    {
        return static_cast<int>(reinterpret_cast<INT_PTR>(handle));
    }

    // Throws Exception(format of arguments and ErrorText::Format(code) as the last %s).
    template <typename Exception, typename... Arguments>
    [[noreturn]] void ThrowCode(DWORD code, const wchar_t* format, Arguments... arguments)
    {
        const String errorText = ErrorText::Format(code);
        throw Exception(Strings::Format(format, arguments..., errorText.c_str()));
    }

    // ThrowCode of the calling thread's last error. The arguments are made before it is read: pass
    // texts and numbers, or calls that leave the last error alone (string operations); read it
    // into a code of its own first when anything else comes between.
    template <typename Exception, typename... Arguments>
    [[noreturn]] void ThrowLastError(const wchar_t* format, Arguments... arguments)
    {
        ThrowCode<Exception>(GetLastError(), format, arguments...);
    }
}
