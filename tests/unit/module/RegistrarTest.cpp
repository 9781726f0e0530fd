// The registrar against a scratch key that stands in for HKEY_CLASSES_ROOT. The module's own
// scripts are applied, removed and applied again by the COM tests; here, scripts that are broken.

#include "module/Registrar.h"

#include "common/Handles.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

namespace
{
    class RegistrarTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            SHDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                     nullptr, root.put(), nullptr));
            registrar.MapRoot(L"HKCR", root.get());
        }
        void TearDown() override
        {
            root.reset();
            SHDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
        }

        bool Exists(const wchar_t* key)
        {
            UniqueRegKey opened;
            return RegOpenKeyExW(root.get(), key, 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
        }

        const String m_path = Strings::Format(L"Software\\QmTest\\Registrar%lu", GetCurrentProcessId());
        UniqueRegKey root;
        Registrar registrar;
    };
}

TEST_F(RegistrarTest, BrokenScriptsWriteNothing)
{
    const wchar_t* const broken[] = {
        L"HKCR { Good = s 'x' Unknown = s '%NOT_DEFINED%' }",
        L"HKCR { Good = s 'x' Open { }",
        L"HKCR { Good = s 'unterminated }",
        L"HKCR { Good = q 'x' }",
        L"HKXX { Good = s 'x' }",
        L"HKCR { Good = s 'x' } trailing",
        L"HKCR { Good { val = s 'x' } }",
        L"HKCR { Good = d 'twelve' }",
    };
    for (const wchar_t* script : broken)
    {
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), registrar.Register(script)) << Strings::ToUtf8(script);
        EXPECT_FALSE(Exists(L"Good")) << Strings::ToUtf8(script);
    }
}
