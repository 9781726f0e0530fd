// The exception guard, for callers with an error text (the interface methods) and for those that
// get only a code (module exports, registration, IDispatch): nothing escapes either, and each kind
// of exception has its text and code.

#include "module/ComGuard.h"

#include "handles/Handles.h"
#include "common/ScratchDirectory.h"

#include <functional>
#include <new>

TEST(ComGuard, EveryExceptionEndsInAFailureCodeAndTheMethodsText)
{
    const String failText = L"\n" + SystemErrorText(static_cast<DWORD>(E_FAIL));
    const struct
    {
        std::function<HRESULT()> call;
        HRESULT code;
        String text; // after "An exception occurred in Restore:\n"
    } cases[] = {
        {[] { return S_FALSE; }, S_FALSE, L"earlier failure"},
        {[]() -> HRESULT { throw RegistryServiceException(L"RegSaveKey(HKLM\\SAM) failed"); }, E_FAIL,
         L"RegistryServiceException ERROR: RegSaveKey(HKLM\\SAM) failed" + failText},
        // The base class describes itself by its message alone.
        {[]() -> HRESULT { throw TarnException::Exception(L"plain"); }, E_FAIL, L"plain" + failText},
        {[]() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY, L"Out of memory."},
        {[]() -> HRESULT { throw CWin32Exception(L"RegOpenKeyEx", ERROR_ACCESS_DENIED); },
         HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
         L"CWin32Exception ERROR: RegOpenKeyEx: " + CWin32Exception(L"", ERROR_ACCESS_DENIED).GetErrorMessage() + failText},
        // Memory exhaustion is told by the exception, not by the code: this one keeps its text.
        {[]() -> HRESULT { throw CWin32Exception(L"HeapAlloc", ERROR_OUTOFMEMORY); }, E_OUTOFMEMORY,
         L"CWin32Exception ERROR: HeapAlloc: " + CWin32Exception(L"", ERROR_OUTOFMEMORY).GetErrorMessage() + failText},
        // A failure must never read as success.
        {[]() -> HRESULT { throw CWin32Exception(L"Somewhere", ERROR_SUCCESS); }, E_FAIL,
         L"CWin32Exception ERROR: Somewhere: " + CWin32Exception(L"", ERROR_SUCCESS).GetErrorMessage() + failText},
        {[]() -> HRESULT { throw 42; }, E_FAIL, L"Unknown exception." + failText},
    };
    for (const auto& item : cases)
    {
        EXPECT_EQ(item.code, ComGuard::Run(item.call)) << Strings::ToUtf8(item.text);
        BSTR text = SysAllocString(L"earlier failure");
        EXPECT_EQ(item.code == S_FALSE ? S_FALSE : E_FAIL, ComGuard::Run(L"Restore", text, item.call));
        const UniqueBstr owner(text);
        EXPECT_EQ(item.code == S_FALSE ? item.text : L"An exception occurred in Restore:\n" + item.text,
                  String(text, SysStringLen(text)));
    }
}
