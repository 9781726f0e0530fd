#include "module/ComGuard.h"

#include "common/ErrorText.h"

namespace ComGuard
{
    String FailureText(const wchar_t* method, const String& description)
    {
        const String header = Strings::Format(L"An exception occurred in %s:\n", method);
        return Strings::Format(L"%s\n%s", (header + description).c_str(), ErrorText::Format(static_cast<DWORD>(E_FAIL)).c_str());
    }

    void StoreError(BSTR& error, const String& text) noexcept
    {
        BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (copy == nullptr)
            return;
        SysFreeString(error);
        error = copy;
    }

    void StoreFailure(BSTR& error, const wchar_t* method, const String& description) noexcept
    {
        try
        {
            StoreError(error, FailureText(method, description));
        }
        catch (...)
        {
            StoreOutOfMemory(error, method);
        }
    }

    void StoreOutOfMemory(BSTR& error, const wchar_t* method) noexcept
    {
        // Built without the string class: the heap may be what failed.
        wchar_t text[160];
        lstrcpynW(text, L"An exception occurred in ", 160);
        lstrcatW(text, method);
        lstrcatW(text, L":\nOut of memory.");
        BSTR copy = SysAllocString(text);
        if (copy == nullptr)
            return;
        SysFreeString(error);
        error = copy;
    }

    HRESULT CodeOf(const CWin32Exception& exception) noexcept
    {
        // A failure must never read as success.
        if (exception.GetCode() == ERROR_SUCCESS)
            return E_FAIL;
        return HRESULT_FROM_WIN32(exception.GetCode());
    }
}
