#include "module/ComGuard.h"

#include "errors/ErrorText.h"

namespace
{
    String FailureText(const wchar_t* method, const String& description)
    {
        const String header = Strings::Format(L"An exception occurred in %s:\n", method);
        return Strings::Format(L"%s\n%s", (header + description).c_str(), ErrorText::Format(static_cast<DWORD>(E_FAIL)).c_str());
    }
}

namespace ComGuard
{
    void StoreError(UniqueBstr& error, const String& text) noexcept
    {
        BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (copy != nullptr)
            error.reset(copy);
    }

    void StoreCurrentFailure(UniqueBstr& error, const wchar_t* method) noexcept
    {
        const CurrentException::Failure failure = CurrentException::Describe();
        if (!failure.text.empty())
        {
            try
            {
                StoreError(error, FailureText(method, failure.text));
                return;
            }
            catch (...)
            {
            }
        }
        // Built without the string class: the heap may be what failed.
        wchar_t text[160];
        lstrcpynW(text, L"An exception occurred in ", 160);
        lstrcatW(text, method);
        lstrcatW(text, L":\nOut of memory.");
        BSTR copy = SysAllocString(text);
        if (copy != nullptr)
            error.reset(copy);
    }
}
