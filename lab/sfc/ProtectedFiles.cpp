// Windows File Protection's list as a 2003 server answers it: one name per call, lower-case drive
// paths, the position kept in the caller's record, ERROR_NO_MORE_FILES after the last. The list
// names one file twice and one that the lab machine does not have, as real lists do.

#include <windows.h>
#include <sfc.h>

#include <cwchar>

namespace
{
    const wchar_t* const ProtectedFiles[] = {
        L"c:\\windows\\system32\\qmprot32.dll",
        L"c:\\windows\\system32\\drivers\\qmprotfs.sys",
        L"c:\\windows\\system32\\qmshell.dll",
        L"c:\\windows\\system32\\qmprot32.dll",
        L"c:\\windows\\system32\\qmgone.dll",
        L"c:\\windows\\fonts\\qmserif.ttf",
    };
    const DWORD Count = sizeof ProtectedFiles / sizeof ProtectedFiles[0];
}

extern "C" BOOL WINAPI SfcGetNextProtectedFile(HANDLE, PPROTECTED_FILE_DATA data)
{
    if (data == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (data->FileNumber >= Count)
    {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    wcsncpy(data->FileName, ProtectedFiles[data->FileNumber], MAX_PATH - 1);
    data->FileName[MAX_PATH - 1] = L'\0';
    ++data->FileNumber;
    return TRUE;
}

extern "C" BOOL WINAPI SfcIsFileProtected(HANDLE, LPCWSTR name)
{
    for (const wchar_t* file : ProtectedFiles)
        if (name != nullptr && _wcsicmp(name, file) == 0)
            return TRUE;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}
