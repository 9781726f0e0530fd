#include "SystemStateBackupRestoreImpl.h"

#include "Module.h"
#include "module/ComGuard.h"
#include "module/Components.h"
#include "module/OperatingSystem.h"

#include "common/ErrorText.h"
#include "common/FileSystem.h"

#include <cstddef>

// Callers compiled against the 32-bit layout of the options record.
#ifndef _WIN64
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bstrServerName) == 0, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bstrDomainName) == 4, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bstrUserName) == 8, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bstrPassword) == 12, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bstrDirectory) == 16, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bTruncateLogs) == 20, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bCoreBootSystemFiles) == 22, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bActiveDirectory) == 24, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bSystemVolume) == 26, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bCertificateServices) == 28, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bClusterDatabase) == 30, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bRegistryService) == 32, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bCOMDatabase) == 34, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bForceShutdownOfClusters) == 36, "options layout");
static_assert(offsetof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS, m_bstrQuorumDriveLetter) == 40, "options layout");
static_assert(sizeof(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS) == 44, "options layout");
#endif

namespace
{
    // A null BSTR (or a missing pointer to one) is an empty string.
    String CopyText(const BSTR* text)
    {
        if (text == nullptr || *text == nullptr)
            return String();
        return String(*text, SysStringLen(*text));
    }

    bool IsSet(VARIANT_BOOL flag) { return flag != VARIANT_FALSE; }

    // The fields both operations hand to every component; each adds its own flags.
    ComponentJob ConnectionAndDirectory(const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options)
    {
        ComponentJob job;
        job.server = CopyText(options.m_bstrServerName);
        job.domain = CopyText(options.m_bstrDomainName);
        job.user = CopyText(options.m_bstrUserName);
        job.password = CopyText(options.m_bstrPassword);
        job.directory = CopyText(options.m_bstrDirectory);
        return job;
    }

    const wchar_t* const SafeBootVariable = L"%SAFEBOOT_OPTION%";
}

HRESULT SystemStateBackupRestoreImpl::Create(IUnknown* outer, REFIID riid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;

    auto* created = new (std::nothrow) SystemStateBackupRestoreImpl(outer);
    if (created == nullptr)
        return E_OUTOFMEMORY;
    // The first reference belongs to this function; the query adds the caller's.
    const HRESULT hr = created->m_inner.QueryInterface(riid, object);
    created->m_inner.Release();
    return hr;
}

SystemStateBackupRestoreImpl::SystemStateBackupRestoreImpl(IUnknown* outer)
    : m_inner(*this), m_controllingUnknown(outer != nullptr ? outer : &m_inner)
{
    InitializeCriticalSection(&m_lock);
    Module::Lock();
}

SystemStateBackupRestoreImpl::~SystemStateBackupRestoreImpl()
{
    // A component may have impersonated the caller's account; leave the thread as we found the
    // process.
    RevertToSelf();
    SysFreeString(m_bstrError);
    DeleteCriticalSection(&m_lock);
    Module::Unlock();
}

HRESULT SystemStateBackupRestoreImpl::NonDelegatingUnknown::QueryInterface(REFIID riid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown))
        *object = static_cast<IUnknown*>(this);
    else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_ISystemStateBackupRestore))
        *object = static_cast<ISystemStateBackupRestore*>(&m_owner);
    else
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
}

ULONG SystemStateBackupRestoreImpl::NonDelegatingUnknown::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_owner.m_references));
}

ULONG SystemStateBackupRestoreImpl::NonDelegatingUnknown::Release()
{
    const LONG references = InterlockedDecrement(&m_owner.m_references);
    if (references == 0)
        delete &m_owner;
    return static_cast<ULONG>(references);
}

HRESULT SystemStateBackupRestoreImpl::QueryInterface(REFIID riid, void** object)
{
    return m_controllingUnknown->QueryInterface(riid, object);
}

ULONG SystemStateBackupRestoreImpl::AddRef()
{
    return m_controllingUnknown->AddRef();
}

ULONG SystemStateBackupRestoreImpl::Release()
{
    return m_controllingUnknown->Release();
}

HRESULT SystemStateBackupRestoreImpl::LoadTypeInfo()
{
    if (m_typeInfo)
        return S_OK;
    try
    {
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadTypeLibEx(Module::GetModulePath().c_str(), REGKIND_NONE, library.put());
        if (FAILED(hr))
            return hr;
        return library->GetTypeInfoOfGuid(IID_ISystemStateBackupRestore, m_typeInfo.put());
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

HRESULT SystemStateBackupRestoreImpl::GetTypeInfoCount(UINT* count)
{
    if (count == nullptr)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT SystemStateBackupRestoreImpl::GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo)
{
    if (typeInfo == nullptr)
        return E_POINTER;
    *typeInfo = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr))
        return hr;
    m_typeInfo->AddRef();
    *typeInfo = m_typeInfo.get();
    return S_OK;
}

HRESULT SystemStateBackupRestoreImpl::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    // The type information reads the first name before it looks at the count.
    if (names == nullptr || ids == nullptr)
        return E_POINTER;
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr))
        return hr;
    return DispGetIDsOfNames(m_typeInfo.get(), names, count, ids);
}

HRESULT SystemStateBackupRestoreImpl::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* parameters,
                                             VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    const HRESULT hr = LoadTypeInfo();
    if (FAILED(hr))
        return hr;
    return DispInvoke(static_cast<ISystemStateBackupRestore*>(this), m_typeInfo.get(), id, flags, parameters, result,
                      exception, argumentError);
}

void SystemStateBackupRestoreImpl::SetError(const String& text)
{
    ComGuard::StoreError(m_bstrError, text);
}

HRESULT SystemStateBackupRestoreImpl::GetError(BSTR* strError)
{
    // Nothing failed yet: the caller's value stays as it was.
    if (m_bstrError != nullptr && strError != nullptr)
        *strError = SysAllocStringLen(m_bstrError, SysStringLen(m_bstrError));
    return S_OK;
}

HRESULT SystemStateBackupRestoreImpl::Initialize()
{
    return S_OK;
}

HRESULT SystemStateBackupRestoreImpl::Backup(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS* options)
{
    return ComGuard::Run(L"Backup", m_bstrError, [&]() -> HRESULT {
        if (options == nullptr)
        {
            SetError(L"Backup: no options record was given.");
            return E_FAIL;
        }
        ComponentJob job = ConnectionAndDirectory(*options);
        job.truncateLogs = IsSet(options->m_bTruncateLogs);

        // The target holds exactly one backup: empty it, or create it (one level; the parent
        // must exist).
        if (Directories::Exists(job.directory))
        {
            if (!Directories::DeleteFiles(job.directory, L"*"))
            {
                SetError(L"Could not delete directory: " + job.directory);
                return E_FAIL;
            }
        }
        else if (!CreateDirectoryW(job.directory.c_str(), nullptr))
        {
            SetError(L"CreateDirectory failed: " + ErrorText::FormatLastError());
            return E_FAIL;
        }

        // The fixed order; the first failure stops it and leaves what ran before in place.
        if (IsSet(options->m_bCoreBootSystemFiles))
            Components::CoreBootSystemFilesBackup(job);
        const OperatingSystem system;
        if (IsSet(options->m_bActiveDirectory) && system.IsDomainController())
            Components::ActiveDirectoryBackup(job);
        if (IsSet(options->m_bSystemVolume) && system.IsDomainController())
            Components::SystemVolumeBackup(job);
        if (IsSet(options->m_bCertificateServices) && OperatingSystem::IsCertificateServicesInstalled(job.server))
            Components::CertificateServicesBackup(job);
        if (IsSet(options->m_bClusterDatabase) && system.IsClusterNode())
            Components::ClusterDatabaseBackup(job);
        if (IsSet(options->m_bRegistryService))
            Components::RegistryServiceBackup(job);
        if (IsSet(options->m_bCOMDatabase))
            Components::COMDatabaseBackup(job);
        return S_OK;
    });
}

HRESULT SystemStateBackupRestoreImpl::Restore(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS* options)
{
    return ComGuard::Run(L"Restore", m_bstrError, [&]() -> HRESULT {
        if (options == nullptr)
        {
            SetError(L"Restore: no options record was given.");
            return E_FAIL;
        }
        ComponentJob job = ConnectionAndDirectory(*options);
        job.quorumDriveLetter = CopyText(options->m_bstrQuorumDriveLetter);
        job.forceClusterShutdown = IsSet(options->m_bForceShutdownOfClusters);

        if (IsSet(options->m_bCoreBootSystemFiles))
            Components::CoreBootSystemFilesRestore(job);
        if (IsSet(options->m_bCOMDatabase))
            Components::COMDatabaseRestore(job);

        VARIANT_BOOL restoreMode = VARIANT_FALSE;
        if (FAILED(IsActiveDirectoryRestoreMode(&restoreMode)))
        {
            SetError(L"IsActiveDirectoryRestoreMode() failed.");
            return E_FAIL;
        }

        if (IsSet(options->m_bSystemVolume) && IsSet(restoreMode))
            Components::SystemVolumeRestore(job);
        const OperatingSystem system;
        if (IsSet(options->m_bCertificateServices) && OperatingSystem::IsCertificateServicesInstalled(job.server))
            Components::CertificateServicesRestore(job);
        if (IsSet(options->m_bClusterDatabase) && system.IsClusterNode())
            Components::ClusterDatabaseRestore(job);
        if (IsSet(options->m_bActiveDirectory) && IsSet(restoreMode))
            Components::ActiveDirectoryRestore(job);
        // Last: the hives are swapped at the next start, after everything else is in place.
        if (IsSet(options->m_bRegistryService))
            Components::RegistryServiceRestore(job);
        return S_OK;
    });
}

HRESULT SystemStateBackupRestoreImpl::IsActiveDirectoryServiceOnline(BSTR* strServerName, VARIANT_BOOL* bIsNTDSOnline)
{
    return ComGuard::Run(L"IsActiveDirectoryServiceOnline", m_bstrError, [&]() -> HRESULT {
        const String server = CopyText(strServerName);
        DWORD online = 0;
        Components::ActiveDirectoryIsOnline(server, online);
        if (bIsNTDSOnline == nullptr)
        {
            SetError(L"IsActiveDirectoryServiceOnline: no place for the answer was given.");
            return E_FAIL;
        }
        *bIsNTDSOnline = online != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

HRESULT SystemStateBackupRestoreImpl::IsActiveDirectoryRestoreMode(VARIANT_BOOL* vbIsDirectoryRestoreMode)
{
    return ComGuard::Run(L"IsActiveDirectoryRestoreMode", m_bstrError, [&]() -> HRESULT {
        EnvironmentVariables environment;
        String expanded;
        const HRESULT hr = environment.Expand(SafeBootVariable, expanded);
        if (FAILED(hr))
        {
            SetError(String(L"EnvironmentVariables::Expand(") + SafeBootVariable + L") failed: " +
                     ErrorText::Format(static_cast<DWORD>(hr)));
            return E_FAIL;
        }
        if (vbIsDirectoryRestoreMode == nullptr)
        {
            SetError(L"IsActiveDirectoryRestoreMode: no place for the answer was given.");
            return E_FAIL;
        }
        // Exactly the word the boot loader sets; "dsrepair" is not restore mode.
        *vbIsDirectoryRestoreMode = expanded == L"DSREPAIR" ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}
