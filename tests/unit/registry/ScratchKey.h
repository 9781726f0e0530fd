#pragma once
// A per-test scratch key below HKCU\Software\QmTest, and raw registry helpers that check effects
// without going through the code under test.

#include "common/ScratchDirectory.h"
#include "privileges/Privileges.h"
#include "registry/RegistryKey.h"

#include <windows.h>

#include <map>
#include <utility>
#include <vector>

namespace RegistryTest
{
    using Bytes = std::vector<BYTE>;

    inline Bytes ToBytes(const String& text, bool withNull = true)
    {
        const auto* begin = reinterpret_cast<const BYTE*>(text.c_str());
        return Bytes(begin, begin + (text.size() + (withNull ? 1 : 0)) * sizeof(wchar_t));
    }
    inline Bytes Pattern(size_t size)
    {
        Bytes bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<BYTE>(i * 7 + i / 251);
        return bytes;
    }
    inline Bytes DwordBytes(DWORD value) { return Bytes{BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)}; }

    inline bool KeyExists(HKEY root, const String& path)
    {
        return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, UniqueRegKey().put()) == ERROR_SUCCESS;
    }
    // Creates root\path when missing. An existing key is opened, not created again: Wine's create
    // call clears the key's class.
    inline void SetValue(HKEY root, const String& path, const String& name, DWORD type, const Bytes& data)
    {
        UniqueRegKey key;
        LONG status = RegOpenKeyExW(root, path.c_str(), 0, KEY_SET_VALUE, key.put());
        if (status == ERROR_FILE_NOT_FOUND)
            status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
        ASSERT_EQ(ERROR_SUCCESS, status);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                                static_cast<DWORD>(data.size())));
    }

    using RawValue = std::pair<DWORD, Bytes>; // type, data
    struct RawKey
    {
        String keyClass;
        std::map<String, RawValue> values;
        bool operator==(const RawKey& other) const { return keyClass == other.keyClass && values == other.values; }
    };
    // A key tree by path relative to its top ("" for the top itself).
    using RawTree = std::map<String, RawKey>;

    inline void DumpInto(RawTree& tree, HKEY root, const String& top, const String& relative = L"")
    {
        UniqueRegKey key;
        const String path = relative.empty() ? top : top + L"\\" + relative;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()));
        std::vector<wchar_t> name(40000);
        Bytes data(1 << 20);
        DWORD chars = 0, size = 0, type = 0;
        // The key, with both buffers' sizes set again for the next call.
        const auto sized = [&] { return chars = DWORD(name.size()), size = DWORD(data.size()), key.get(); };
        ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(sized(), name.data(), &chars, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr));
        RawKey& entry = tree[relative];
        entry.keyClass.assign(name.data(), chars);
        for (DWORD i = 0; RegEnumValueW(sized(), i, name.data(), &chars, nullptr, &type, data.data(), &size) == 0; ++i)
            entry.values[String(name.data(), chars)] = RawValue{type, Bytes(data.begin(), data.begin() + size)};
        for (DWORD i = 0; RegEnumKeyExW(sized(), i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) == 0; ++i)
            DumpInto(tree, root, top, (relative.empty() ? L"" : relative + L"\\") + String(name.data(), chars));
    }
    inline RawTree DumpTree(HKEY root, const String& path)
    {
        RawTree tree;
        DumpInto(tree, root, path);
        return tree;
    }

    inline bool EnableHivePrivileges() // Enable answers an error code
    {
        return !Privileges::Enable(SE_BACKUP_NAME) && !Privileges::Enable(SE_RESTORE_NAME);
    }
    inline void RemoveKey(HKEY root, const String& name)
    {
        RegUnLoadKeyW(root, name.c_str());
        RegDeleteTreeW(root, name.c_str());
        RegDeleteKeyW(root, name.c_str());
    }
    inline RawTree DumpHiveFile(const String& file)
    {
        const String name = Unique(L"QmTestHiveCheck");
        RemoveKey(HKEY_USERS, name);
        if (RegLoadKeyW(HKEY_USERS, name.c_str(), file.c_str()) != ERROR_SUCCESS)
            return RawTree{{L"cannot load " + file, RawKey()}};
        RawTree tree = DumpTree(HKEY_USERS, name);
        EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, name.c_str()));
        return tree;
    }

    class ScratchKey : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_path = Unique((L"Software\\QmTest\\" + TestName() + L".").c_str());
            RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
            CreateKey(L"");
        }
        void TearDown() override
        {
            RemoveKey(HKEY_CURRENT_USER, m_path);
            EXPECT_FALSE(KeyExists(L"")) << "scratch key not removed";
        }
        String Path(const String& sub = L"") const { return sub.empty() ? m_path : m_path + L"\\" + sub; }
        bool KeyExists(const String& sub) const { return RegistryTest::KeyExists(HKEY_CURRENT_USER, Path(sub)); }
        void CreateKey(const String& sub, const wchar_t* keyClass = nullptr, DWORD options = 0) const
        {
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, Path(sub).c_str(), 0, const_cast<wchar_t*>(keyClass),
                                                     options, KEY_ALL_ACCESS, nullptr, UniqueRegKey().put(), nullptr));
        }
        void SetRaw(const String& sub, const String& name, DWORD type, const Bytes& data) const
        {
            SetValue(HKEY_CURRENT_USER, Path(sub), name, type, data);
        }
        RawTree Dump(const String& sub) const { return DumpTree(HKEY_CURRENT_USER, Path(sub)); }
        String m_path;
    };

    // Expects `call` to throw the key wrapper's exception with this where-text and code.
    template <typename Call>
    void ExpectKeyFailure(const wchar_t* where, DWORD code, Call call)
    {
        const auto error = Thrown<CRegistryKey::Exception>(call);
        ASSERT_TRUE(error) << "no CRegistryKey::Exception thrown";
        EXPECT_STREQ(where, error->GetLocation());
        EXPECT_EQ(code, error->GetCode());
    }
}
