// The exception guard: every kind of exception ends in E_FAIL with a text, nothing escapes.

#include "module/ComGuard.h"

#include "common/Handles.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

TEST(ComGuard, EveryExceptionEndsInEFailWithTheMethodAndAText)
{
    const String failText = L"\n" + SystemErrorText(static_cast<DWORD>(E_FAIL));
    const struct
    {
        std::function<HRESULT()> call;
        String expected; // the whole text, or its start when it ends with "..."
    } cases[] = {
        {[]() -> HRESULT { throw RegistryServiceException(L"RegSaveKey(HKLM\\SAM) failed"); },
         L"An exception occurred in Restore:\nRegistryServiceException ERROR: RegSaveKey(HKLM\\SAM) failed" + failText},
        // The base class describes itself by its message alone.
        {[]() -> HRESULT { throw TarnException::Exception(L"plain"); }, L"An exception occurred in Restore:\nplain" + failText},
        {[]() -> HRESULT { throw std::bad_alloc(); }, L"An exception occurred in Restore:\nOut of memory."},
        {[]() -> HRESULT { throw std::out_of_range("vector index 7"); },
         L"An exception occurred in Restore:\nStandard library exception: vector index 7" + failText},
        // Outside the module's exception tree.
        {[]() -> HRESULT { throw Wow64Exception(L"IsWow64Process"); },
         L"An exception occurred in Restore:\nWow64Exception ERROR: IsWow64Process" + failText},
        {[]() -> HRESULT { throw CWin32Exception(L"RegOpenKeyEx", ERROR_ACCESS_DENIED); },
         L"An exception occurred in Restore:\nCWin32Exception ERROR: RegOpenKeyEx: ..."},
        {[]() -> HRESULT { throw 42; }, L"An exception occurred in Restore:\nUnknown exception." + failText},
    };
    for (const auto& item : cases)
    {
        BSTR text = SysAllocString(L"earlier failure");
        EXPECT_EQ(E_FAIL, ComGuard::Run(L"Restore", text, item.call));
        const UniqueBstr owner(text);
        const String actual = text != nullptr ? String(text, SysStringLen(text)) : L"<null>";
        const bool prefix = item.expected.size() > 3 && item.expected.compare(item.expected.size() - 3, 3, L"...") == 0;
        EXPECT_EQ(item.expected.substr(0, prefix ? item.expected.size() - 3 : String::npos),
                  prefix ? actual.substr(0, item.expected.size() - 3) : actual);
    }
}
