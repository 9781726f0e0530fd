#pragma once
// The platform's VSS library, vssapi.dll, bound at run time from the system folder, so that what
// links this code still loads where the library or its later exports are missing. A requestor
// needs one entry point: the backup components object's. Windows Server 2003 exports it only under
// its C++ name; later systems export a C name as well.

#include "handles/Handles.h"
#include "text/Strings.h"

#include <windows.h>
#include <vss.h>
#include <vswriter.h>
#include <vsbackup.h>

class VssApiLibrary
{
public:
    using CreateBackupComponents = HRESULT(WINAPI*)(IVssBackupComponents**);

    // The names the entry point is looked up by, in this order.
    static const char* const CreateInternalName;
    static const char* const CreateDecoratedName;

    // Loads <system folder>\vssapi.dll. Throws VssClientException when it cannot be loaded or has
    // neither entry point.
    VssApiLibrary();
    // The same for the library at path.
    explicit VssApiLibrary(const String& path);

    // A new backup components object. Throws VssClientException with the code's text.
    ComPtr<IVssBackupComponents> Create() const;
    // The export the entry point was found under.
    const char* EntryPoint() const { return m_entryPoint; }
    const String& Path() const { return m_path; }

private:
    void Load();

    String m_path;
    UniqueLibrary m_library;
    CreateBackupComponents m_create = nullptr;
    const char* m_entryPoint = nullptr;
};
