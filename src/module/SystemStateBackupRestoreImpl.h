#pragma once
// SystemStateBackupRestoreImpl: the one COM class of the module. It copies the caller's options,
// runs the enabled components in their fixed order and turns every failure into E_FAIL with a
// text for GetError. One object must not be used from several threads at once.

#include "SystemStateBackupRestore.h"

#include "handles/Handles.h"
#include "text/Strings.h"

class SystemStateBackupRestoreImpl final : public ISystemStateBackupRestore
{
public:
    // Creates an object; with outer set it is aggregated and riid must be IID_IUnknown.
    static HRESULT Create(IUnknown* outer, REFIID riid, void** object);

    // IUnknown, delegating to the controlling unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch over the module's type library.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

    // The interface. Every method returns S_OK or E_FAIL; out values are written only on S_OK.
    HRESULT STDMETHODCALLTYPE GetError(BSTR* strError) override;
    HRESULT STDMETHODCALLTYPE Initialize() override;
    HRESULT STDMETHODCALLTYPE Backup(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS* options) override;
    HRESULT STDMETHODCALLTYPE IsActiveDirectoryServiceOnline(BSTR* strServerName, VARIANT_BOOL* bIsNTDSOnline) override;
    HRESULT STDMETHODCALLTYPE Restore(_SYSTEM_STATE_BACKUP_RESTORE_OPTIONS* options) override;
    HRESULT STDMETHODCALLTYPE IsActiveDirectoryRestoreMode(VARIANT_BOOL* vbIsDirectoryRestoreMode) override;

private:
    // The object's own identity, which an aggregating outer object holds.
    class NonDelegatingUnknown final : public IUnknown
    {
    public:
        explicit NonDelegatingUnknown(SystemStateBackupRestoreImpl& owner) : m_owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        SystemStateBackupRestoreImpl& m_owner;
    };

    explicit SystemStateBackupRestoreImpl(IUnknown* outer);
    ~SystemStateBackupRestoreImpl();
    SystemStateBackupRestoreImpl(const SystemStateBackupRestoreImpl&) = delete;
    SystemStateBackupRestoreImpl& operator=(const SystemStateBackupRestoreImpl&) = delete;

    // Loads the type information on first use. Free-threaded callers may race here, so it is
    // set once under m_lock and never changed afterwards.
    HRESULT LoadTypeInfo(ITypeInfo*& typeInfo);
    void SetError(const String& text);

    NonDelegatingUnknown m_inner;
    IUnknown* m_controllingUnknown;
    LONG m_references = 1;
    CriticalSection m_lock;
    UniqueBstr m_error;
    ComPtr<ITypeInfo> m_typeInfo;
};
