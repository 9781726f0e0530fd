#include "LabWriter.h"

#include <vector>

namespace
{
    const wchar_t* const SettingsKey = L"SOFTWARE\\Harborline Lab\\";

    bool Read(const wchar_t* program, const wchar_t* name, DWORD type, void* value, DWORD size)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (SettingsKey + std::wstring(program)).c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            return false;
        DWORD found = 0;
        const LONG status = RegQueryValueExW(key, name, nullptr, &found, static_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS && found == type;
    }

    std::wstring CopyAll(const std::wstring& from, const std::wstring& to)
    {
        if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return L"cannot create " + to;
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return L"nothing to copy in " + from;
        std::wstring failure;
        do
        {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            if (!CopyFileW((from + L"\\" + entry.cFileName).c_str(), (to + L"\\" + entry.cFileName).c_str(), FALSE))
                failure = std::wstring(L"cannot copy ") + entry.cFileName;
        } while (failure.empty() && FindNextFileW(search, &entry));
        FindClose(search);
        return failure;
    }
}

namespace LabWriter
{
    DWORD Number(const wchar_t* program, const wchar_t* name, DWORD fallback)
    {
        DWORD value = 0;
        return Read(program, name, REG_DWORD, &value, sizeof value) ? value : fallback;
    }

    std::wstring Setting(const wchar_t* program, const wchar_t* name, const wchar_t* fallback)
    {
        std::vector<wchar_t> value(1024);
        if (!Read(program, name, REG_SZ, value.data(), static_cast<DWORD>((value.size() - 1) * sizeof(wchar_t))))
            return fallback;
        return value.data();
    }

    void Record(const wchar_t* program, const std::wstring& line)
    {
        const std::wstring log = Setting(program, L"Log", L"C:\\HarborlineLab\\vss.log");
        CreateDirectoryW(log.substr(0, log.rfind(L'\\')).c_str(), nullptr);
        HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return;
        const std::wstring text = line + L"\n";
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                              nullptr, nullptr);
        std::vector<char> utf8(bytes);
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                            nullptr);
        DWORD written = 0;
        WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        CloseHandle(file);
    }

    std::wstring HandOver(const wchar_t* program, const std::wstring& target)
    {
        return CopyAll(Setting(program, L"Directory", L"C:\\WINDOWS\\NTDS"), target + L"\\ntds");
    }

    std::wstring TakeBack(const wchar_t* program, const std::wstring& target)
    {
        if (GetFileAttributesW((target + L"\\ntds").c_str()) == INVALID_FILE_ATTRIBUTES)
            return L"no ntds component in " + target;
        return CopyAll(target + L"\\ntds", Setting(program, L"Directory", L"C:\\WINDOWS\\NTDS"));
    }
}
