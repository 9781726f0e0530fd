// hivetool: prints a key tree in one stable text form, from a hive file or from the live registry.
//
//   hivetool file FILE    loads FILE below HKEY_USERS, prints it, unloads it
//   hivetool key ROOT\PATH  prints a live key (ROOT: HKLM or HKU)
//   hivetool loaded ROOT\NAME  prints "present" (exit code 0) or "absent" (exit code 1)
//   hivetool guard ROOT\PATH  prints a live key, then "TMP_ key: ROOT\NAME" for every key at
//                             the top of HKLM and HKU whose name begins with TMP_ (in one
//                             process: the hostile-input test asks after every case)
//   hivetool save ROOT\PATH FILE  saves a live key as a hive file (FILE must not exist)
//
// One line per key ("[relative\path]", the top is "[]"), then one per value:
// "name = TYPE data" with strings as text, DWORDs in decimal, everything else as hex bytes.
// Keys and values come in enumeration order.

#include "errors/ErrorText.h"
#include "handles/Handles.h"
#include "text/Strings.h"
#include "privileges/Privileges.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace
{
    const wchar_t* const DumpKey = L"QmHiveToolDump";

    void Print(const String& text)
    {
        const std::string utf8 = Strings::ToUtf8(text);
        fwrite(utf8.data(), 1, utf8.size(), stdout);
    }

    int Fail(const String& text)
    {
        const std::string utf8 = Strings::ToUtf8(L"hivetool: " + text + L"\n");
        fwrite(utf8.data(), 1, utf8.size(), stderr);
        return 2;
    }

    String TypeName(DWORD type)
    {
        switch (type)
        {
        case REG_NONE: return L"REG_NONE";
        case REG_SZ: return L"REG_SZ";
        case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
        case REG_BINARY: return L"REG_BINARY";
        case REG_DWORD: return L"REG_DWORD";
        case REG_MULTI_SZ: return L"REG_MULTI_SZ";
        case REG_QWORD: return L"REG_QWORD";
        default: return Strings::Format(L"TYPE_%lu", type);
        }
    }

    String DataText(DWORD type, const std::vector<BYTE>& data, DWORD size)
    {
        if ((type == REG_SZ || type == REG_EXPAND_SZ) && size % 2 == 0)
        {
            String text(reinterpret_cast<const wchar_t*>(data.data()), size / 2);
            while (!text.empty() && text.back() == L'\0')
                text.pop_back();
            return text;
        }
        if (type == REG_DWORD && size == 4)
        {
            DWORD value = 0;
            memcpy(&value, data.data(), 4);
            return Strings::Format(L"%lu", value);
        }
        const wchar_t* const digits = L"0123456789abcdef";
        String hex;
        hex.reserve(size * 3);
        for (DWORD i = 0; i < size; ++i)
        {
            if (i != 0)
                hex += L',';
            hex += digits[data[i] >> 4];
            hex += digits[data[i] & 15];
        }
        return hex;
    }

    // Wine serves some keys (performance counters, device data) only through their own calls:
    // what cannot be read is marked in the output, and the walk goes on.
    LONG Unreadable(LONG status)
    {
        Print(Strings::Format(L"(unreadable: %ld)\n", status));
        return ERROR_SUCCESS;
    }

    // One pair of buffers for the whole walk: a megabyte allocated per key made the walk of a
    // large hive take minutes.
    std::vector<wchar_t> g_name(32768);
    std::vector<BYTE> g_data(1 << 20);

    // The key's tree; fails only when the key itself cannot be opened.
    LONG PrintTree(HKEY parent, const String& path, const String& relative)
    {
        UniqueRegKey key;
        LONG status = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, key.put());
        if (status != ERROR_SUCCESS)
            return status;
        Print(L"[" + relative + L"]\n");

        DWORD values = 0;
        status = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                  nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            return Unreadable(status);
        std::vector<wchar_t>& name = g_name;
        std::vector<BYTE>& data = g_data;
        for (DWORD index = 0; index < values; ++index)
        {
            DWORD chars = static_cast<DWORD>(name.size());
            DWORD size = static_cast<DWORD>(data.size());
            DWORD type = 0;
            status = RegEnumValueW(key.get(), index, name.data(), &chars, nullptr, &type, data.data(), &size);
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            if (status != ERROR_SUCCESS)
                Print(Strings::Format(L"(value %lu unreadable: %ld)\n", index, status));
            else
                Print(String(name.data(), chars) + L" = " + TypeName(type) + L" " + DataText(type, data, size) + L"\n");
        }

        StringList children;
        for (DWORD index = 0;; ++index)
        {
            DWORD chars = static_cast<DWORD>(name.size());
            status = RegEnumKeyExW(key.get(), index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            if (status != ERROR_SUCCESS)
                return Unreadable(status);
            children.emplace_back(name.data(), chars);
        }
        for (const String& child : children)
        {
            const String childRelative = relative.empty() ? child : relative + L"\\" + child;
            if (PrintTree(key.get(), child, childRelative) != ERROR_SUCCESS)
                Print(L"[" + childRelative + L"] (cannot be opened)\n");
        }
        return ERROR_SUCCESS;
    }

    bool SplitRoot(const String& full, HKEY& root, String& path)
    {
        const size_t slash = full.find(L'\\');
        const String rootName = Strings::ToUpper(full.substr(0, slash));
        path = slash == String::npos ? String() : full.substr(slash + 1);
        if (rootName == L"HKLM" || rootName == L"HKEY_LOCAL_MACHINE")
            root = HKEY_LOCAL_MACHINE;
        else if (rootName == L"HKU" || rootName == L"HKEY_USERS")
            root = HKEY_USERS;
        else
            return false;
        return true;
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 && !(argc == 4 && String(argv[1]) == L"save"))
        return Fail(L"usage: hivetool file FILE | key ROOT\\PATH | loaded ROOT\\NAME | guard ROOT\\PATH | "
                    L"save ROOT\\PATH FILE");
    const String command = argv[1];
    const String argument = argv[2];

    if (command == L"file")
    {
        if (Privileges::Enable(SE_BACKUP_NAME) != ERROR_SUCCESS ||
            Privileges::Enable(SE_RESTORE_NAME) != ERROR_SUCCESS)
            return Fail(L"cannot enable SeBackupPrivilege and SeRestorePrivilege");
        RegUnLoadKeyW(HKEY_USERS, DumpKey);
        LONG status = RegLoadKeyW(HKEY_USERS, DumpKey, argument.c_str());
        if (status != ERROR_SUCCESS)
            return Fail(L"cannot load " + argument + L": " + ErrorText::Format(static_cast<DWORD>(status)));
        status = PrintTree(HKEY_USERS, DumpKey, L"");
        const LONG unloaded = RegUnLoadKeyW(HKEY_USERS, DumpKey);
        if (status != ERROR_SUCCESS)
            return Fail(L"cannot read " + argument + L": " + ErrorText::Format(static_cast<DWORD>(status)));
        if (unloaded != ERROR_SUCCESS)
            return Fail(L"cannot unload " + argument + L": " + ErrorText::Format(static_cast<DWORD>(unloaded)));
        return 0;
    }

    HKEY root = nullptr;
    String path;
    if (!SplitRoot(argument, root, path))
        return Fail(L"unknown root in " + argument + L" (HKLM or HKU)");
    if (command == L"key")
    {
        const LONG status = PrintTree(root, path, L"");
        if (status != ERROR_SUCCESS)
            return Fail(L"cannot read " + argument + L": " + ErrorText::Format(static_cast<DWORD>(status)));
        return 0;
    }
    if (command == L"guard")
    {
        PrintTree(root, path, L"");
        const std::pair<HKEY, const wchar_t*> roots[] = {{HKEY_LOCAL_MACHINE, L"HKLM"}, {HKEY_USERS, L"HKU"}};
        for (const auto& top : roots)
        {
            wchar_t name[256];
            for (DWORD index = 0;; ++index)
            {
                DWORD chars = 256;
                if (RegEnumKeyExW(top.first, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                    break;
                if (_wcsnicmp(name, L"TMP_", 4) == 0)
                    Print(Strings::Format(L"TMP_ key: %s\\%s\n", top.second, name));
            }
        }
        return 0;
    }
    if (command == L"save")
    {
        if (Privileges::Enable(SE_BACKUP_NAME) != ERROR_SUCCESS)
            return Fail(L"cannot enable SeBackupPrivilege");
        UniqueRegKey key;
        LONG status = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put());
        if (status == ERROR_SUCCESS)
            status = RegSaveKeyW(key.get(), argv[3], nullptr);
        if (status != ERROR_SUCCESS)
            return Fail(L"cannot save " + argument + L": " + ErrorText::Format(static_cast<DWORD>(status)));
        return 0;
    }
    if (command == L"loaded")
    {
        UniqueRegKey key;
        const bool present = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
        Print(present ? L"present\n" : L"absent\n");
        return present ? 0 : 1;
    }
    return Fail(L"unknown command " + command);
}
