// A planted library: when a process loads it, it writes C:\lab\decoys\<its own file name> holding
// the loading program's path, and refuses to load.

#include <windows.h>

namespace
{
    const wchar_t* FileName(const wchar_t* path)
    {
        const wchar_t* name = path;
        for (const wchar_t* at = path; *at != L'\0'; ++at)
            if (*at == L'\\' || *at == L'/')
                name = at + 1;
        return name;
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t self[MAX_PATH] = {};
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(instance, self, MAX_PATH);
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    CreateDirectoryW(L"C:\\lab", nullptr);
    CreateDirectoryW(L"C:\\lab\\decoys", nullptr);
    wchar_t mark[MAX_PATH + 32] = L"C:\\lab\\decoys\\";
    lstrcatW(mark, FileName(self));
    const HANDLE file = CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
    {
        DWORD written = 0;
        WriteFile(file, program, static_cast<DWORD>(lstrlenW(program) * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(file);
    }
    return FALSE;
}
