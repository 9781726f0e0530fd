#include "vss/VssApi.h"

#include "errors/Failure.h"
#include "vss/VssClientException.h"
#include "vss/VssTexts.h"

#include <vector>

const char* const VssApiLibrary::CreateInternalName = "CreateVssBackupComponentsInternal";
// The system's compiler decorates the function by its calling convention and pointer size.
#ifdef _WIN64
const char* const VssApiLibrary::CreateDecoratedName = "?CreateVssBackupComponents@@YAJPEAPEAVIVssBackupComponents@@@Z";
#else
const char* const VssApiLibrary::CreateDecoratedName = "?CreateVssBackupComponents@@YGJPAPAVIVssBackupComponents@@@Z";
#endif

namespace
{
    String SystemLibraryPath()
    {
        std::vector<wchar_t> folder(MAX_PATH);
        for (;;)
        {
            const UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
            if (length == 0)
                Failure::ThrowLastError<VssClientException>(L"GetSystemDirectory() failed: %s");
            if (length < folder.size())
                return String(folder.data(), length) + L"\\vssapi.dll";
            folder.resize(length + 1);
        }
    }
}

VssApiLibrary::VssApiLibrary() : m_path(SystemLibraryPath())
{
    Load();
}

VssApiLibrary::VssApiLibrary(const String& path) : m_path(path)
{
    Load();
}

void VssApiLibrary::Load()
{
    // By full path: a vssapi.dll in the host's folder or current folder must not be taken instead.
    m_library.reset(LoadLibraryExW(m_path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!m_library)
        Failure::ThrowLastError<VssClientException>(
            L"The VSS library %s could not be loaded, so this system cannot make shadow copies: %s", m_path.c_str());
    for (const char* name : {CreateInternalName, CreateDecoratedName})
    {
        m_create = GetProc<CreateBackupComponents>(m_library.get(), name);
        if (m_create != nullptr)
        {
            m_entryPoint = name;
            return;
        }
    }
    throw VssClientException(Strings::Format(L"The VSS library %s exports neither %S nor %S: it is not a VSS library "
                                             L"this requestor can use",
                                             m_path.c_str(), CreateInternalName, CreateDecoratedName));
}

ComPtr<IVssBackupComponents> VssApiLibrary::Create() const
{
    ComPtr<IVssBackupComponents> backup;
    const HRESULT hr = m_create(backup.put());
    if (FAILED(hr))
        throw VssClientException(L"CreateVssBackupComponents failed: " + VssTexts::Describe(hr) +
                                 (hr == E_ACCESSDENIED ? L" Only members of Administrators or Backup Operators may "
                                                         L"make shadow copies."
                                                       : L""));
    if (!backup)
        throw VssClientException(L"CreateVssBackupComponents gave no object");
    return backup;
}
