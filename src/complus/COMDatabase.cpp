#include "complus/COMDatabase.h"

#include "common/ErrorText.h"
#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/Handles.h"

#include <comadmin.h>

#include <new>

namespace
{
    // {F618C514-DFB8-11D1-A2CF-00805FC79235}
    const CLSID CatalogClass = {0xf618c514, 0xdfb8, 0x11d1, {0xa2, 0xcf, 0x00, 0x80, 0x5f, 0xc7, 0x92, 0x35}};
    // {DD662187-DFC2-11D1-A2CF-00805FC79235}
    const IID CatalogInterface = {0xdd662187, 0xdfc2, 0x11d1, {0xa2, 0xcf, 0x00, 0x80, 0x5f, 0xc7, 0x92, 0x35}};

    using CatalogCall = HRESULT (STDMETHODCALLTYPE ICOMAdminCatalog::*)(BSTR);

    // One catalog object per operation, released at its end. Returns the file name passed.
    String CallCatalog(const String& directory, CatalogCall call, const wchar_t* failureFormat)
    {
        // A directory ending with a backslash gives a doubled one; the catalog gets it unchanged.
        const String file = directory + L"\\comDB.reg";
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
    CallCatalog(directory, &ICOMAdminCatalog::RestoreREGDB, L"ICOMAdminCatalog->RestoreREGDB(%s) failed: %s");
}
