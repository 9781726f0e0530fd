#pragma once
// Hive files in tests: the privileges that saving and loading need, keys directly below
// HKEY_USERS (where a test may load hives and create keys without touching the machine's own),
// and the content of a hive file read back by loading it.

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Strings.h"
#include "privileges/Privileges.h"

#include "ScratchKey.h"
#include "common/ScratchDirectory.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace HiveTest
{
    using RegistryTest::Bytes;
    using RegistryTest::RawTree;
    using RegistryTest::KeyExists;
    using RegistryTest::SetValue;

    // Enables SeBackupPrivilege and SeRestorePrivilege in the process token; false when the
    // token does not hold them.
    inline bool EnableHivePrivileges()
    {
        return Privileges::Enable(SE_BACKUP_NAME) == ERROR_SUCCESS && Privileges::Enable(SE_RESTORE_NAME) == ERROR_SUCCESS;
    }

    // Removes HKEY_USERS\name, unloading it first when a hive is loaded there.
    inline void RemoveUserKey(const String& name)
    {
        RegUnLoadKeyW(HKEY_USERS, name.c_str());
        RegDeleteTreeW(HKEY_USERS, name.c_str());
        RegDeleteKeyW(HKEY_USERS, name.c_str());
    }

    inline void SetString(HKEY root, const String& path, const String& name, const String& text)
    {
        SetValue(root, path, name, REG_SZ, RegistryTest::ToBytes(text));
    }

    inline void SetDword(HKEY root, const String& path, const String& name, DWORD value)
    {
        SetValue(root, path, name, REG_DWORD, RegistryTest::DwordBytes(value));
    }

    inline void SetMultiString(HKEY root, const String& path, const String& name, const StringList& strings)
    {
        String raw;
        for (const String& text : strings)
            raw += text + L'\0';
        SetValue(root, path, name, REG_MULTI_SZ, RegistryTest::ToBytes(raw));
    }

    // The content of a hive file: loaded below HKEY_USERS, dumped, unloaded.
    inline RawTree DumpHiveFile(const String& file)
    {
        const wchar_t* const name = L"QmTestHiveCheck";
        RemoveUserKey(name);
        const LONG status = RegLoadKeyW(HKEY_USERS, name, file.c_str());
        EXPECT_EQ(ERROR_SUCCESS, status) << "cannot load " << Strings::ToUtf8(file);
        if (status != ERROR_SUCCESS)
            return RawTree();
        RawTree tree = RegistryTest::DumpTree(HKEY_USERS, name);
        EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, name));
        return tree;
    }

    // Replaces (or removes, when from lacks it) the subtree at path with from's subtree there.
    inline void TakeSubtree(RawTree& into, const RawTree& from, const String& path)
    {
        const String below = path + L"\\";
        for (auto item = into.begin(); item != into.end();)
        {
            if (item->first == path || item->first.compare(0, below.size(), below) == 0)
                item = into.erase(item);
            else
                ++item;
        }
        for (const auto& item : from)
        {
            if (item.first == path || item.first.compare(0, below.size(), below) == 0)
                into.insert(item);
        }
    }

    // A message that names a failure and ends with the error text: "<head>\nError = 0x...".
    inline void ExpectFailureMessage(const String& head, const String& message)
    {
        EXPECT_EQ(head + L"\nError = 0x", message.substr(0, head.size() + 11))
            << "message: " << Strings::ToUtf8(message);
    }
}
