// The registrar against a scratch key that stands in for HKEY_CLASSES_ROOT.

#include "module/Registrar.h"

#include "common/Handles.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

namespace
{
    const wchar_t* const ScratchPath = L"Software\\QmUnitTests\\Registrar";

    class RegistrarTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            SHDeleteKeyW(HKEY_CURRENT_USER, ScratchPath);
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, ScratchPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                     nullptr, root.put(), nullptr));
            registrar.MapRoot(L"HKCR", root.get());
            registrar.AddReplacement(L"CLASSID", L"{0000aaaa-0000-0000-0000-000000000001}");
            registrar.AddReplacement(L"MODULE", L"C:\\Program Files\\X\\x.dll");
        }
        void TearDown() override
        {
            root.reset();
            SHDeleteKeyW(HKEY_CURRENT_USER, ScratchPath);
        }

        bool Exists(const String& key)
        {
            UniqueRegKey opened;
            return RegOpenKeyExW(root.get(), key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
        }
        String Read(const String& key, const wchar_t* name = nullptr)
        {
            wchar_t data[512] = {};
            DWORD size = sizeof(data) - sizeof(wchar_t);
            if (RegGetValueW(root.get(), key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
                return L"<missing>";
            return data;
        }
        void CreateForeignKey(const String& key)
        {
            UniqueRegKey created;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(root.get(), key.c_str(), created.put()));
        }

        UniqueRegKey root;
        Registrar registrar;
    };

    const wchar_t* const ClassScript = LR"(
HKCR
{
    NoRemove CLSID
    {
        ForceRemove %CLASSID% = s 'Some Class'
        {
            ForceRemove Programmable
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Free'
            }
        }
    }
    'Vendor.Thing' = s 'It''s 100%% ours'
    {
        CLSID = s '%CLASSID%'
        val Number = d '0x2A'
    }
})";
}

TEST_F(RegistrarTest, RegisterWritesKeysAndValuesWithReplacements)
{
    ASSERT_EQ(S_OK, registrar.Register(ClassScript));
    EXPECT_EQ(L"Some Class", Read(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}"));
    EXPECT_TRUE(Exists(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}\\Programmable"));
    EXPECT_EQ(L"C:\\Program Files\\X\\x.dll", Read(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}\\InprocServer32"));
    EXPECT_EQ(L"Free", Read(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"It's 100% ours", Read(L"Vendor.Thing"));
    EXPECT_EQ(L"{0000aaaa-0000-0000-0000-000000000001}", Read(L"Vendor.Thing\\CLSID"));
    DWORD number = 0, size = sizeof(number);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(root.get(), L"Vendor.Thing", L"Number", RRF_RT_REG_DWORD, nullptr, &number, &size));
    EXPECT_EQ(42u, number);
}

TEST_F(RegistrarTest, RegisterReplacesAKeyMarkedRemovedWhole)
{
    CreateForeignKey(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}\\Stale");
    ASSERT_EQ(S_OK, registrar.Register(ClassScript));
    EXPECT_FALSE(Exists(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}\\Stale"));
    EXPECT_TRUE(Exists(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}\\InprocServer32"));
}

TEST_F(RegistrarTest, UnregisterKeepsNeverRemovedKeysAndRemovesWholeOnes)
{
    ASSERT_EQ(S_OK, registrar.Register(ClassScript));
    CreateForeignKey(L"CLSID\\{someone-else}");
    CreateForeignKey(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}\\Programmable\\Foreign");

    ASSERT_EQ(S_OK, registrar.Unregister(ClassScript));
    EXPECT_FALSE(Exists(L"CLSID\\{0000aaaa-0000-0000-0000-000000000001}"));
    EXPECT_FALSE(Exists(L"Vendor.Thing"));
    EXPECT_TRUE(Exists(L"CLSID"));
    EXPECT_TRUE(Exists(L"CLSID\\{someone-else}"));

    // Nothing left to remove: still a success.
    EXPECT_EQ(S_OK, registrar.Unregister(ClassScript));
}

TEST_F(RegistrarTest, UnregisterKeepsAPlainKeyThatStillHasSubkeys)
{
    ASSERT_EQ(S_OK, registrar.Register(ClassScript));
    CreateForeignKey(L"Vendor.Thing\\Shell");
    ASSERT_EQ(S_OK, registrar.Unregister(ClassScript));
    EXPECT_TRUE(Exists(L"Vendor.Thing\\Shell"));
    EXPECT_FALSE(Exists(L"Vendor.Thing\\CLSID"));
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegGetValueW(root.get(), L"Vendor.Thing", L"Number", RRF_RT_ANY, nullptr, nullptr, &size));
}

TEST_F(RegistrarTest, BrokenScriptsWriteNothing)
{
    const HRESULT invalid = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
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
        EXPECT_EQ(invalid, registrar.Register(script)) << script;
        EXPECT_FALSE(Exists(L"Good")) << script;
    }
}
