#include "errors/CurrentException.h"

#include "errors/Exceptions.h"

#include <exception>
#include <new>

namespace CurrentException
{
    String Text()
    {
        try
        {
            throw;
        }
        catch (const TarnException::Exception& exception)
        {
            return exception.GetDescription();
        }
        catch (const Wow64Exception& exception)
        {
            return Strings::Format(L"Wow64Exception ERROR: %s", exception.GetMessage().c_str());
        }
        catch (const CWin32Exception& exception)
        {
            return Strings::Format(L"CWin32Exception ERROR: %s: %s", exception.GetLocation(),
                                   exception.GetErrorMessage().c_str());
        }
        catch (const std::bad_alloc&)
        {
            return L"Out of memory.";
        }
        catch (const std::exception& exception)
        {
            return Strings::Format(L"Standard library exception: %S", exception.what());
        }
        catch (...)
        {
            return L"Unknown exception.";
        }
    }

    Failure Describe() noexcept
    {
        Failure failure{E_FAIL, {}};
        try
        {
            throw;
        }
        catch (const CWin32Exception& exception)
        {
            if (exception.GetCode() != ERROR_SUCCESS)
                failure.code = HRESULT_FROM_WIN32(exception.GetCode());
        }
        catch (const std::bad_alloc&)
        {
            // Its text is left to the caller, who can build it without the heap.
            failure.code = E_OUTOFMEMORY;
            return failure;
        }
        catch (...)
        {
        }
        try
        {
            failure.text = Text();
        }
        catch (...)
        {
            failure.text.clear();
        }
        return failure;
    }
}
