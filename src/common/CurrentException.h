#pragma once
// What a thread's start routine does with an exception of any kind: it must not leave the routine
// (it would end the host process), so it is caught there and its text reported as a failure.

#include "common/Strings.h"

namespace CurrentException
{
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
