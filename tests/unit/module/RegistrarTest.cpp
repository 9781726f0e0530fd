// The registrar against a scratch key that stands in for HKEY_CLASSES_ROOT. The module's own
// scripts are applied and checked in the COM tests; here, what those scripts do not use.

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
            registrar.AddReplacement(L"CLASSID", L"{0000aaaa-0000-0000-0000-000000000001}");
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

TEST_F(RegistrarTest, EscapesAndNumbersAreWrittenAndForeignSubkeysOfPlainKeysSurvive)
{
    const wchar_t* const script = LR"(
HKCR
{
    'Vendor.Thing' = s 'It''s 100%% ours'
    {
        CLSID = s '%CLASSID%'
        val Number = d '0x2A'
    }
})";
    ASSERT_EQ(S_OK, registrar.Register(script));
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(root.get(), L"Vendor.Thing", nullptr, RRF_RT_REG_SZ, nullptr, text, &size));
    EXPECT_STREQ(L"It's 100% ours", text);
    DWORD number = 0;
    size = sizeof(number);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(root.get(), L"Vendor.Thing", L"Number", RRF_RT_REG_DWORD, nullptr, &number, &size));
    EXPECT_EQ(42u, number);

    UniqueRegKey foreign;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(root.get(), L"Vendor.Thing\\Shell", foreign.put()));
    ASSERT_EQ(S_OK, registrar.Unregister(script));
    EXPECT_TRUE(Exists(L"Vendor.Thing\\Shell"));
    EXPECT_FALSE(Exists(L"Vendor.Thing\\CLSID"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegGetValueW(root.get(), L"Vendor.Thing", L"Number", RRF_RT_ANY, nullptr, nullptr, &size));
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
