// A recording double of x64\dozeZuz.exe for the unit tests of the code that starts it
// (ActiveDirectory::RunSnapshotTool): it appends its command line and the arguments as it parsed
// them to the file named by HKLM\SOFTWARE\Harborline Test\dozeZuz "Log", and exits with the code
// in "Exit" (0 when there is none). The real tool is tested in the lab (tests/lab/vss.sh).
#include <windows.h>

#include <string>

namespace
{
    const wchar_t* const SettingsKey = L"SOFTWARE\\Harborline Test\\dozeZuz";
}

int wmain(int argc, wchar_t** argv)
{
    wchar_t log[1024] = {};
    DWORD size = sizeof log - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, SettingsKey, L"Log", RRF_RT_REG_SZ, nullptr, log, &size) == ERROR_SUCCESS)
    {
        std::wstring record = std::wstring(L"dozeZuz {") + GetCommandLineW() + L"}";
        for (int i = 1; i < argc; ++i)
            record += std::wstring(L" [") + argv[i] + L"]";
        record += L"\n";
        HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
        {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, record.c_str(), static_cast<int>(record.size()), nullptr,
                                                  0, nullptr, nullptr);
            std::string utf8(bytes, '\0');
            WideCharToMultiByte(CP_UTF8, 0, record.c_str(), static_cast<int>(record.size()), &utf8[0], bytes, nullptr,
                                nullptr);
            DWORD written = 0;
            WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
            CloseHandle(file);
        }
    }
    DWORD code = 0;
    size = sizeof code;
    RegGetValueW(HKEY_LOCAL_MACHINE, SettingsKey, L"Exit", RRF_RT_REG_DWORD, nullptr, &code, &size);
    return static_cast<int>(code);
}
