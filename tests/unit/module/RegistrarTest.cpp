// The registrar against a scratch key that stands in for HKEY_CLASSES_ROOT. The module's own
// scripts are applied, removed and applied again by the COM tests; here, scripts that fail.

#include "module/Registrar.h"

#include "registry/ScratchKey.h"

namespace
{
    class RegistrarTest : public RegistryTest::ScratchKey
    {
    protected:
        // HKCR of the scripts is the scratch key's sub key.
        void MapRootTo(const String& sub)
        {
            ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, Path(sub).c_str(), 0, KEY_ALL_ACCESS, m_root.put()));
            registrar.MapRoot(L"HKCR", m_root.get());
        }

        UniqueRegKey m_root;
        Registrar registrar;
    };
}

TEST_F(RegistrarTest, BrokenScriptsWriteNothing)
{
    MapRootTo(L"");
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
        EXPECT_FALSE(KeyExists(L"Good")) << Strings::ToUtf8(script);
    }
}

TEST_F(RegistrarTest, AFailingWriteAnswersWithTheRegistrysOwnCode)
{
    // Below a volatile key only volatile keys may be made; the scripts make lasting ones.
    CreateKey(L"volatile", nullptr, REG_OPTION_VOLATILE);
    MapRootTo(L"volatile");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), registrar.Register(L"HKCR { Child = s 'x' }"));
    EXPECT_FALSE(KeyExists(L"volatile\\Child"));
}
