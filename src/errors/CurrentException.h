#pragma once
// What a thread's start routine does with an exception of any kind: it must not leave the routine
// (it would end the host process), so it is caught there and its text reported as a failure.

#include "text/Strings.h"

#include <windows.h>

namespace CurrentException
{
    // What a caller that reports failures as an HRESULT learns of the exception being handled.
    struct Failure
    {
        // A Win32 failure its own code (never a success), memory exhaustion E_OUTOFMEMORY,
        // anything else E_FAIL.
        HRESULT code;
        // As Text(); empty when memory ran out, for the exception itself or for its text.
        String text;
    };

    // The code and text of the exception being handled; call only inside a catch block.
    Failure Describe() noexcept;

    // The text of the exception being handled; call only inside a catch block. The system's own
    // exceptions give their description, the standard library's "Standard library exception:
    // <what>", memory exhaustion "Out of memory.", anything else "Unknown exception.". Throws
    // only std::bad_alloc.
    String Text();

    // Runs work; true when it returned. When it threw, false with the exception's text in
    // failure (left empty when even that text could not be made). Never throws.
    template <typename Work>
    bool Guarded(Work&& work, String& failure) noexcept
    {
        try
        {
            work();
            return true;
        }
        catch (...)
        {
            try
            {
                failure = Text();
            }
            catch (...)
            {
                failure.clear();
            }
        }
        return false;
    }
}
