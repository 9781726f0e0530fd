#pragma once
// The one place where exceptions become the caller's HRESULT and error text. Every interface
// method that can fail, every module export and the registrar run their work inside
// ComGuard::Run, so no exception leaves the module.

#include "errors/CurrentException.h"
#include "errors/Exceptions.h"
#include "handles/Handles.h"

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace ComGuard
{
    // Replaces error with a new BSTR copy of text. Keeps the old text when memory runs out.
    void StoreError(UniqueBstr& error, const String& text) noexcept;

    // Stores "An exception occurred in <method>:\n" and the text of the exception being handled,
    // then "\n" and the text of E_FAIL; when memory runs out, "Out of memory." alone. Never throws.
    void StoreCurrentFailure(UniqueBstr& error, const wchar_t* method) noexcept;

    // Runs work (which returns an HRESULT). An exception of any kind ends in E_FAIL with its
    // text in error; the system's own exceptions are described by their GetDescription.
    template <typename Work>
    HRESULT Run(const wchar_t* method, UniqueBstr& error, Work&& work) noexcept
    {
        try
        {
            return work();
        }
        catch (...)
        {
            StoreCurrentFailure(error, method);
        }
        return E_FAIL;
    }

    // The same for a caller that holds its error text as a plain BSTR.
    template <typename Work>
    HRESULT Run(const wchar_t* method, BSTR& error, Work&& work) noexcept
    {
        UniqueBstr owner(error);
        const HRESULT result = Run(method, owner, std::forward<Work>(work));
        error = owner.release();
        return result;
    }

    // Runs work (which returns an HRESULT) for a caller without an error text (module exports,
    // registration, IDispatch): an exception ends in its code from CurrentException::Describe.
    template <typename Work>
    HRESULT Run(Work&& work) noexcept
    {
        try
        {
            return work();
        }
        catch (...)
        {
            return CurrentException::Describe().code;
        }
    }
}
