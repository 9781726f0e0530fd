#pragma once
// A per-test scratch key below HKCU\Software\QmTest, wiped before and after each test, and raw
// registry helpers that check effects without going through the code under test.

#include "common/Strings.h"
#include "registry/RegistryKey.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace RegistryTest
{
    using Bytes = std::vector<BYTE>;

    inline Bytes ToBytes(const String& text, bool withNull = true)
    {
        const size_t size = (text.size() + (withNull ? 1 : 0)) * sizeof(wchar_t);
        Bytes bytes(size);
        if (size > 0)
            std::memcpy(bytes.data(), text.c_str(), size);
        return bytes;
    }

    // A multi-string from its strings: each ended by a null, the list by an empty string.
    inline Bytes MultiString(const StringList& strings)
    {
        String all;
        for (const String& text : strings)
            all += text + L'\0';
        return ToBytes(all, true);
    }

    inline Bytes Pattern(size_t size)
    {
        Bytes bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<BYTE>((i * 7 + i / 251) & 0xFF);
        return bytes;
    }

    inline String Hex(const Bytes& bytes)
    {
        String text;
        for (BYTE b : bytes)
        {
            wchar_t pair[3] = {L"0123456789abcdef"[b >> 4], L"0123456789abcdef"[b & 15], 0};
            text += pair;
        }
        return text;
    }

    struct RawValue
    {
        DWORD type = 0;
        Bytes data;
        bool operator==(const RawValue& other) const { return type == other.type && data == other.data; }
    };

    struct RawKey
    {
        String keyClass;
        std::map<String, RawValue> values;
        bool operator==(const RawKey& other) const { return keyClass == other.keyClass && values == other.values; }
    };

    // A key tree by path relative to its top ("" for the top itself).
    using RawTree = std::map<String, RawKey>;

    class ScratchKey : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
            m_path = L"Software\\QmTest\\" + Strings::FromUtf8(info->test_suite_name()) + L"." +
                     Strings::FromUtf8(info->name());
            RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
            ASSERT_EQ(ERROR_FILE_NOT_FOUND, Open(L"", KEY_READ).first) << "scratch key left over";
            CreateKey(L"");
        }

        void TearDown() override
        {
            RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(L"", KEY_READ).first) << "scratch key not removed";
        }

        // Path below HKCU of a key below the scratch key ("" for the scratch key itself).
        String Path(const String& sub = L"") const { return sub.empty() ? m_path : m_path + L"\\" + sub; }

        std::pair<LONG, HKEY> Open(const String& sub, REGSAM access) const
        {
            HKEY key = nullptr;
            const LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, Path(sub).c_str(), 0, access, &key);
            return {status, key};
        }

        bool KeyExists(const String& sub) const
        {
            auto opened = Open(sub, KEY_READ);
            if (opened.first == ERROR_SUCCESS)
                RegCloseKey(opened.second);
            return opened.first == ERROR_SUCCESS;
        }

        void CreateKey(const String& sub, const wchar_t* keyClass = nullptr, DWORD options = 0) const
        {
            HKEY key = nullptr;
            const LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, Path(sub).c_str(), 0,
                                                const_cast<wchar_t*>(keyClass), options, KEY_ALL_ACCESS,
                                                nullptr, &key, nullptr);
            ASSERT_EQ(ERROR_SUCCESS, status) << "creating " << Strings::ToUtf8(Path(sub));
            RegCloseKey(key);
        }

        // Opens rather than creates an existing key: Wine's create call clears the key's class.
        void SetRaw(const String& sub, const String& name, DWORD type, const Bytes& data) const
        {
            if (!KeyExists(sub))
                CreateKey(sub);
            auto opened = Open(sub, KEY_SET_VALUE);
            ASSERT_EQ(ERROR_SUCCESS, opened.first);
            const LONG status = RegSetValueExW(opened.second, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                               static_cast<DWORD>(data.size()));
            RegCloseKey(opened.second);
            ASSERT_EQ(ERROR_SUCCESS, status) << "writing " << Strings::ToUtf8(name).substr(0, 40);
        }

        void SetDword(const String& sub, const String& name, DWORD value, DWORD type = REG_DWORD) const
        {
            Bytes data(sizeof(value));
            std::memcpy(data.data(), &value, sizeof(value));
            SetRaw(sub, name, type, data);
        }

        // The call's status; type and data only on success.
        LONG ReadRaw(const String& sub, const String& name, RawValue& value) const
        {
            auto opened = Open(sub, KEY_READ);
            if (opened.first != ERROR_SUCCESS)
                return opened.first;
            DWORD type = 0;
            DWORD size = 0;
            LONG status = RegQueryValueExW(opened.second, name.c_str(), nullptr, &type, nullptr, &size);
            if (status == ERROR_SUCCESS)
            {
                Bytes data(size + 1);
                status = RegQueryValueExW(opened.second, name.c_str(), nullptr, &type, data.data(), &size);
                data.resize(size);
                if (status == ERROR_SUCCESS)
                    value = RawValue{type, data};
            }
            RegCloseKey(opened.second);
            return status;
        }

        // Everything at and below the key, read with the raw calls.
        RawTree Dump(const String& sub) const
        {
            RawTree tree;
            DumpInto(Path(sub), L"", tree);
            return tree;
        }

    private:
        static void DumpInto(const String& fullPath, const String& relative, RawTree& tree)
        {
            HKEY key = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, fullPath.c_str(), 0, KEY_READ, &key));
            std::vector<wchar_t> keyClass(40000);
            DWORD classChars = static_cast<DWORD>(keyClass.size());
            ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, keyClass.data(), &classChars, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
            RawKey& entry = tree[relative];
            entry.keyClass.assign(keyClass.data(), classChars);

            std::vector<wchar_t> name(40000);
            Bytes data(1 << 20);
            for (DWORD index = 0;; ++index)
            {
                DWORD nameChars = static_cast<DWORD>(name.size());
                DWORD size = static_cast<DWORD>(data.size());
                DWORD type = 0;
                const LONG status = RegEnumValueW(key, index, name.data(), &nameChars, nullptr, &type, data.data(), &size);
                if (status == ERROR_NO_MORE_ITEMS)
                    break;
                ASSERT_EQ(ERROR_SUCCESS, status);
                entry.values[String(name.data(), nameChars)] = RawValue{type, Bytes(data.begin(), data.begin() + size)};
            }
            StringList children;
            for (DWORD index = 0;; ++index)
            {
                DWORD nameChars = static_cast<DWORD>(name.size());
                const LONG status = RegEnumKeyExW(key, index, name.data(), &nameChars, nullptr, nullptr, nullptr, nullptr);
                if (status == ERROR_NO_MORE_ITEMS)
                    break;
                ASSERT_EQ(ERROR_SUCCESS, status);
                children.emplace_back(name.data(), nameChars);
            }
            RegCloseKey(key);
            for (const String& child : children)
                DumpInto(fullPath + L"\\" + child, relative.empty() ? child : relative + L"\\" + child, tree);
        }

        String m_path;
    };

    // Whether a handle is still open: a query on a closed one fails with ERROR_INVALID_HANDLE
    // (an open one without query access fails otherwise).
    inline bool HandleIsOpen(HKEY key)
    {
        DWORD subkeys = 0;
        return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr) != ERROR_INVALID_HANDLE;
    }

    // The key wrapper's exception thrown by `call`, or a failure with a sentinel when none is.
    template <typename Call>
    CRegistryKey::Exception CatchKeyException(Call call)
    {
        try
        {
            call();
        }
        catch (const CRegistryKey::Exception& error)
        {
            return error;
        }
        ADD_FAILURE() << "no CRegistryKey::Exception thrown";
        return CRegistryKey::Exception(L"(none)", 0xdeadbeef);
    }
}
