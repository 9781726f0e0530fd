#pragma once
// The one place where exceptions become the caller's HRESULT and error text. Every interface
// method that can fail, every module export and the registrar run their work inside
// ComGuard::Run, so no exception leaves the module.

#include "common/Exceptions.h"

#include <windows.h>
#include <oleauto.h>

#include <exception>
#include <new>

namespace ComGuard
{
    // "An exception occurred in <method>:\n<description>" then "\n" and the text of E_FAIL.
    String FailureText(const wchar_t* method, const String& description);

    // Replaces error with a new BSTR copy of text. Keeps the old text when memory runs out.
    void StoreError(BSTR& error, const String& text) noexcept;

    // Stores the failure text for an exception of any kind; never throws.
    void StoreFailure(BSTR& error, const wchar_t* method, const String& description) noexcept;
    void StoreOutOfMemory(BSTR& error, const wchar_t* method) noexcept;

    // Runs work (which returns an HRESULT). An exception of any kind ends in E_FAIL with its
    // text in error; the system's own exceptions are described by their GetDescription.
    template <typename Work>
    HRESULT Run(const wchar_t* method, BSTR& error, Work&& work) noexcept
    {
        try
        {
            return work();
        }
        catch (const TarnException::Exception& exception)
        {
            try
            {
                StoreFailure(error, method, exception.GetDescription());
            }
            catch (...)
            {
                StoreOutOfMemory(error, method);
            }
        }
        catch (const Wow64Exception& exception)
        {
            try
            {
                StoreFailure(error, method, Strings::Format(L"Wow64Exception ERROR: %s", exception.GetMessage().c_str()));
            }
            catch (...)
            {
                StoreOutOfMemory(error, method);
            }
        }
        catch (const CWin32Exception& exception)
        {
            try
            {
                StoreFailure(error, method, Strings::Format(L"CWin32Exception ERROR: %s: %s", exception.GetLocation(),
                                                            exception.GetErrorMessage().c_str()));
            }
            catch (...)
            {
                StoreOutOfMemory(error, method);
            }
        }
        catch (const std::bad_alloc&)
        {
            StoreOutOfMemory(error, method);
        }
        catch (const std::exception& exception)
        {
            try
            {
                StoreFailure(error, method, Strings::Format(L"Standard library exception: %S", exception.what()));
            }
            catch (...)
            {
                StoreOutOfMemory(error, method);
            }
        }
        catch (...)
        {
            try
            {
                StoreFailure(error, method, L"Unknown exception.");
            }
            catch (...)
            {
                StoreOutOfMemory(error, method);
            }
        }
        return E_FAIL;
    }

    // The code a caller without an error text (module exports, registration, IDispatch) gets
    // for an exception: a Win32 failure its own code as an HRESULT, memory exhaustion
    // E_OUTOFMEMORY, anything else E_FAIL.
    HRESULT CodeOf(const CWin32Exception& exception) noexcept;

    // Runs work (which returns an HRESULT) for such a caller.
    template <typename Work>
    HRESULT Run(Work&& work) noexcept
    {
        try
        {
            return work();
        }
        catch (const CWin32Exception& exception)
        {
            return CodeOf(exception);
        }
        catch (const std::bad_alloc&)
        {
            return E_OUTOFMEMORY;
        }
        catch (...)
        {
            return E_FAIL;
        }
    }
}
