#include "complus/COMDatabase.h"

#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "handles/Handles.h"

#include <comadmin.h>

#include <new>

namespace
{
    // {F618C514-DFB8-11D1-A2CF-00805FC79235}
    const CLSID CatalogClass = {0xf618c514, 0xdfb8, 0x11d1, {0xa2, 0xcf, 0x00, 0x80, 0x5f, 0xc7, 0x92, 0x35}};
    // {DD662187-DFC2-11D1-A2CF-00805FC79235}
    const IID CatalogInterface = {0xdd662187, 0xdfc2, 0x11d1, {0xa2, 0xcf, 0x00, 0x80, 0x5f, 0xc7, 0x92, 0x35}};

    using CatalogCall = HRESULT (STDMETHODCALLTYPE ICOMAdminCatalog::*)(BSTR);

    const wchar_t* const NoBackup = L"No COM+ database backup in %s";
    // The catalog reads the whole file into memory; a genuine one is a few MiB at most.
    const unsigned LargestDatabaseMiB = 256;

    // The backup's comDB.reg must be a plain file of the backup folder: not a folder, not a link
    // or other reparse point that would hand the catalog a file from elsewhere, and of a size
    // the catalog can hold. Checked before the catalog object exists.
    void CheckBackupFile(const String& directory)
    {
        const String file = directory + L"\\" + COMDatabase::FileName;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(Paths::ToLongPath(file).c_str(), GetFileExInfoStandard, &data))
        {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                throw COMDatabaseException(Strings::Format(NoBackup, directory.c_str()));
            throw COMDatabaseException(
                Strings::Format(L"GetFileAttributesEx(%s) failed: %s", file.c_str(), ErrorText::Format(error).c_str()));
        }
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            throw COMDatabaseException(Strings::Format(L"Refused to follow the link at %s", file.c_str()));
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            throw COMDatabaseException(Strings::Format(L"%s is a folder, not a COM+ database backup", file.c_str()));
        const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size > static_cast<ULONGLONG>(LargestDatabaseMiB) * 1024 * 1024)
            throw COMDatabaseException(Strings::Format(L"%s is larger than %u MiB, the most a COM+ database backup holds",
                                                       file.c_str(), LargestDatabaseMiB));
    }

    // One catalog object per operation, released at its end. Returns the file name passed.
    String CallCatalog(const String& directory, CatalogCall call, const wchar_t* failureFormat)
    {
        // A directory ending with a backslash gives a doubled one; the catalog gets it unchanged.
        const String file = directory + L"\\" + COMDatabase::FileName;
        ComPtr<ICOMAdminCatalog> catalog;
        HRESULT result =
            CoCreateInstance(CatalogClass, nullptr, CLSCTX_INPROC_SERVER, CatalogInterface, catalog.put_void());
        if (FAILED(result))
            throw COMDatabaseException(Strings::Format(L"CoCreateInstance(CLSID_COMAdminCatalog) failed: %s",
                                                       ErrorText::Format(static_cast<DWORD>(result)).c_str()));
        UniqueBstr name(SysAllocStringLen(file.c_str(), static_cast<UINT>(file.size())));
        if (!name)
            throw std::bad_alloc();
        result = (catalog.get()->*call)(name.get());
        if (FAILED(result))
            throw COMDatabaseException(
                Strings::Format(failureFormat, file.c_str(), ErrorText::Format(static_cast<DWORD>(result)).c_str()));
        return file;
    }
}

void COMDatabase::Backup(const String& directory)
{
    const String file = CallCatalog(directory, &ICOMAdminCatalog::BackupREGDB, L"ICOMAdminCatalog->BackupREGDB(%s) failed: %s");
    // The catalog's word is not the file: a backup without it must not pass for one.
    if (!Files::Exists(file))
        throw COMDatabaseException(
            Strings::Format(L"ICOMAdminCatalog->BackupREGDB(%s) reported success but wrote no file", file.c_str()));
}

void COMDatabase::Restore(const String& directory)
{
    CheckBackupFile(directory);
    CallCatalog(directory, &ICOMAdminCatalog::RestoreREGDB, L"ICOMAdminCatalog->RestoreREGDB(%s) failed: %s");
}
