// Callers that get only a code (module exports, registration, IDispatch) go through the same
// guard: nothing escapes, and the code says what failed.

#include "module/ComGuard.h"
#include "module/Registrar.h"

#include "common/Handles.h"
#include "registry/ScratchKey.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

TEST(ComGuardCode, EveryExceptionBecomesACodeThatIsAFailure)
{
    struct Case
    {
        const char* what;
        std::function<HRESULT()> work;
        HRESULT expected;
    };
    const Case cases[] = {
        {"result passed through", [] { return S_FALSE; }, S_FALSE},
        {"Win32 failure", []() -> HRESULT { throw CWin32Exception(L"RegCreateKeyEx", ERROR_ACCESS_DENIED); },
         HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {"Win32 failure without a code", []() -> HRESULT { throw CWin32Exception(L"Somewhere", ERROR_SUCCESS); }, E_FAIL},
        {"module exception", []() -> HRESULT { throw FileSystemException(L"Path is invalid"); }, E_FAIL},
        {"memory", []() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"standard exception", []() -> HRESULT { throw std::out_of_range("index"); }, E_FAIL},
        {"anything else", []() -> HRESULT { throw 42; }, E_FAIL},
    };
    for (const Case& testCase : cases)
        EXPECT_EQ(testCase.expected, ComGuard::Run(testCase.work)) << testCase.what;
}

namespace
{
    class ComGuardCodeRegistrar : public RegistryTest::ScratchKey
    {
    };
}

TEST_F(ComGuardCodeRegistrar, AnswersWithTheRegistrysOwnCode)
{
    // Below a volatile key only volatile keys may be made; the scripts make lasting ones.
    CreateKey(L"volatile", nullptr, REG_OPTION_VOLATILE);
    UniqueRegKey root;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, Path(L"volatile").c_str(), 0, KEY_ALL_ACCESS, root.put()));
    Registrar registrar;
    registrar.MapRoot(L"HKCR", root.get());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), registrar.Register(L"HKCR { Child = s 'x' }"));
    EXPECT_FALSE(KeyExists(L"volatile\\Child"));
}
