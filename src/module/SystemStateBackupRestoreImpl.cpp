#include "SystemStateBackupRestoreImpl.h"

#include "Module.h"
#include "module/ComGuard.h"
#include "module/ComponentRuns.h"
#include "platform/OperatingSystem.h"

#include "errors/ErrorText.h"
#include "platform/EnvironmentVariables.h"

#include <cstddef>
#include <optional>

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

    // The machine as the gates see it. The probe is built when a gate first asks.
    class MachinePlatform final : public ComponentPlatform
    {
    public:
        explicit MachinePlatform(ISystemStateBackupRestore& object) : m_object(object) {}

        bool IsDomainController() override { return System().IsDomainController(); }
        bool IsClusterNode() override { return System().IsClusterNode(); }
        bool IsCertificateServicesInstalled(const String& server) override
        {
            return OperatingSystem::IsCertificateServicesInstalled(server);
        }
        bool QueryRestoreMode(bool& restoreMode) override
        {
            VARIANT_BOOL answer = VARIANT_FALSE;
            if (FAILED(m_object.IsActiveDirectoryRestoreMode(&answer)))
                return false;
            restoreMode = IsSet(answer);
            return true;
        }

    private:
        const OperatingSystem& System()
        {
            if (!m_system)
                m_system.emplace();
            return *m_system;
        }

        ISystemStateBackupRestore& m_object;
        std::optional<OperatingSystem> m_system;
    };

    // The fields both operations hand to every component; each adds its own flags.
    ComponentJob ConnectionAndDirectory(const _SYSTEM_STATE_BACKUP_RESTORE_OPTIONS& options)
    {
        ComponentJob job;
        job.server = CopyText(options.m_bstrServerName);
        job.domain = CopyText(options.m_bstrDomainName);
        job.user = CopyText(options.m_bstrUserName);
        // Straight into its owner: no copy of the password is left behind in freed memory.
        if (options.m_bstrPassword != nullptr && *options.m_bstrPassword != nullptr)
            job.password = Secret(*options.m_bstrPassword, SysStringLen(*options.m_bstrPassword));
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
    Module::Lock();
}

SystemStateBackupRestoreImpl::~SystemStateBackupRestoreImpl()
{
    // A component may have impersonated the caller's account; leave the thread as we found the
    // process.
    RevertToSelf();
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

HRESULT SystemStateBackupRestoreImpl::LoadTypeInfo(ITypeInfo*& typeInfo)
{
    return ComGuard::Run([&]() -> HRESULT {
        const auto held = m_lock.Lock();
        if (!m_typeInfo)
        {
            ComPtr<ITypeLib> library;
            HRESULT hr = LoadTypeLibEx(Module::GetModulePath().c_str(), REGKIND_NONE, library.put());
            if (FAILED(hr))
                return hr;
            ComPtr<ITypeInfo> loaded;
            hr = library->GetTypeInfoOfGuid(IID_ISystemStateBackupRestore, loaded.put());
            if (FAILED(hr))
                return hr;
            m_typeInfo = std::move(loaded);
        }
        typeInfo = m_typeInfo.get();
        return S_OK;
    });
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
    ITypeInfo* loaded = nullptr;
    const HRESULT hr = LoadTypeInfo(loaded);
    if (FAILED(hr))
        return hr;
    loaded->AddRef();
    *typeInfo = loaded;
    return S_OK;
}

HRESULT SystemStateBackupRestoreImpl::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    // The type information reads the first name before it looks at the count.
    if (names == nullptr || ids == nullptr)
        return E_POINTER;
    ITypeInfo* typeInfo = nullptr;
    const HRESULT hr = LoadTypeInfo(typeInfo);
    if (FAILED(hr))
        return hr;
    return DispGetIDsOfNames(typeInfo, names, count, ids);
}

HRESULT SystemStateBackupRestoreImpl::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* parameters,
                                             VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* typeInfo = nullptr;
    const HRESULT hr = LoadTypeInfo(typeInfo);
    if (FAILED(hr))
        return hr;
    return DispInvoke(static_cast<ISystemStateBackupRestore*>(this), typeInfo, id, flags, parameters, result,
                      exception, argumentError);
}

void SystemStateBackupRestoreImpl::SetError(const String& text)
{
    ComGuard::StoreError(m_error, text);
}

HRESULT SystemStateBackupRestoreImpl::GetError(BSTR* strError)
{
    // Nothing failed yet: the caller's value stays as it was.
    if (m_error && strError != nullptr)
        *strError = SysAllocStringLen(m_error.get(), SysStringLen(m_error.get()));
    return S_OK;
}

HRESULT SystemStateBackupRestoreImpl::Initialize()
{
    return S_OK;
}

HRESULT SystemStateBackupRestoreImpl::Backup(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS* options)
{
    return ComGuard::Run(L"Backup", m_error, [&]() -> HRESULT {
        if (options == nullptr)
        {
            SetError(L"Backup: no options record was given.");
            return E_FAIL;
        }
        ComponentJob job = ConnectionAndDirectory(*options);
        job.truncateLogs = IsSet(options->m_bTruncateLogs);
        MachinePlatform platform(*this);
        const String failure = ComponentRuns::Backup(*options, job, platform);
        if (!failure.empty())
        {
            SetError(failure);
            return E_FAIL;
        }
        return S_OK;
    });
}

HRESULT SystemStateBackupRestoreImpl::Restore(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS* options)
{
    return ComGuard::Run(L"Restore", m_error, [&]() -> HRESULT {
        if (options == nullptr)
        {
            SetError(L"Restore: no options record was given.");
            return E_FAIL;
        }
        ComponentJob job = ConnectionAndDirectory(*options);
        job.quorumDriveLetter = CopyText(options->m_bstrQuorumDriveLetter);
        job.forceClusterShutdown = IsSet(options->m_bForceShutdownOfClusters);
        MachinePlatform platform(*this);
        const String failure = ComponentRuns::Restore(*options, job, platform);
        if (!failure.empty())
        {
            SetError(failure);
            return E_FAIL;
        }
        return S_OK;
    });
}

HRESULT SystemStateBackupRestoreImpl::IsActiveDirectoryServiceOnline(BSTR* strServerName, VARIANT_BOOL* bIsNTDSOnline)
{
    return ComGuard::Run(L"IsActiveDirectoryServiceOnline", m_error, [&]() -> HRESULT {
        const String server = CopyText(strServerName);
        DWORD online = 0;
        ComponentRuns::ActiveDirectoryIsOnline(server, online);
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
    return ComGuard::Run(L"IsActiveDirectoryRestoreMode", m_error, [&]() -> HRESULT {
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
