// The module's entry points, class factory and registration.

#include "Guids.h"
#include "Module.h"
#include "ModuleResources.h"
#include "SystemStateBackupRestore.h"
#include "SystemStateBackupRestoreImpl.h"
#include "module/ComGuard.h"
#include "module/Registrar.h"

#include "handles/Handles.h"
#include "platform/Libraries.h"

#include <new>

// The merged proxy/stub of the interface (dlldata.c, built with the Prx entry prefix).
extern "C"
{
    BOOL WINAPI PrxDllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
    HRESULT WINAPI PrxDllGetClassObject(REFCLSID rclsid, REFIID riid, void** object);
    HRESULT WINAPI PrxDllCanUnloadNow();
    HRESULT WINAPI PrxDllRegisterServer();
    HRESULT WINAPI PrxDllUnregisterServer();
}

namespace
{
    String GuidText(REFGUID guid)
    {
        wchar_t text[40] = {};
        StringFromGUID2(guid, text, 40);
        // The scripts' form: braces, lower-case hexadecimal.
        CharLowerW(text);
        return text;
    }

    String LoadScript(HINSTANCE instance, UINT id)
    {
        HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(id), L"REGISTRY");
        if (resource == nullptr)
            return String();
        HGLOBAL loaded = LoadResource(instance, resource);
        const DWORD size = SizeofResource(instance, resource);
        const char* data = static_cast<const char*>(LockResource(loaded));
        if (data == nullptr)
            return String();
        return Strings::FromUtf8(std::string(data, size));
    }

    // The COM module object: lock count, class-object map (one class), registration.
    class CSystemStateModule
    {
    public:
        void Init(HINSTANCE instance) { m_instance = instance; }
        HINSTANCE GetInstance() const { return m_instance; }
        void Lock() { InterlockedIncrement(&m_lockCount); }
        void Unlock() { InterlockedDecrement(&m_lockCount); }
        LONG GetLockCount() const { return m_lockCount; }

        String GetModulePath() const { return Libraries::ModulePath(m_instance); }

        HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** object);

        // Script 101.
        HRESULT UpdateRegistryAppId(bool doRegister) { return RunScript(IDR_SYSTEMSTATEBACKUPRESTOREAPP, doRegister); }

        // Script 103 and the type library.
        HRESULT RegisterServer()
        {
            const HRESULT hr = RunScript(IDR_SYSTEMSTATEBACKUPRESTOREIMPL, true);
            if (FAILED(hr))
                return hr;
            ComPtr<ITypeLib> library;
            return LoadTypeLibEx(GetModulePath().c_str(), REGKIND_REGISTER, library.put());
        }

        HRESULT UnregisterServer()
        {
            const HRESULT hr = RunScript(IDR_SYSTEMSTATEBACKUPRESTOREIMPL, false);
            if (FAILED(hr))
                return hr;
#ifdef _WIN64
            const SYSKIND kind = SYS_WIN64;
#else
            const SYSKIND kind = SYS_WIN32;
#endif
            // Already gone is what we wanted; asked anyway, Windows and Wine fail differently.
            UniqueRegKey version;
            const String versionKey = L"TypeLib\\" + GuidText(LIBID_SystemStateBackupRestoreLib) + L"\\1.0";
            if (RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_READ, version.put()) != ERROR_SUCCESS)
                return S_OK;
            return UnRegisterTypeLib(LIBID_SystemStateBackupRestoreLib, 1, 0, 0x409, kind);
        }

    private:
        HRESULT RunScript(UINT id, bool doRegister)
        {
            const String script = LoadScript(m_instance, id);
            if (script.empty())
                return HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
            Registrar registrar;
            registrar.AddReplacement(L"MODULE", GetModulePath());
            registrar.AddReplacement(L"OEM_PREFIX", L"Qm");
            registrar.AddReplacement(L"OEM_PRODUCTNAME", L"Harborline");
            registrar.AddReplacement(L"OEM_MFGSHORT", L"Quillmark");
            registrar.AddReplacement(L"APPID", GuidText(APPID_SystemStateBackupRestore));
            registrar.AddReplacement(L"TYPELIBID", GuidText(LIBID_SystemStateBackupRestoreLib));
            registrar.AddReplacement(L"CLASSID", GuidText(CLSID_SystemStateBackupRestoreImpl));
            return doRegister ? registrar.Register(script) : registrar.Unregister(script);
        }

        HINSTANCE m_instance = nullptr;
        LONG m_lockCount = 0;
    };

    CSystemStateModule g_module;

    // The class factory of SystemStateBackupRestoreImpl: one static instance whose references
    // count as module locks.
    class ClassFactory final : public IClassFactory
    {
    public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
        {
            if (object == nullptr)
                return E_POINTER;
            if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory))
            {
                *object = static_cast<IClassFactory*>(this);
                AddRef();
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override
        {
            g_module.Lock();
            return 2;
        }
        ULONG STDMETHODCALLTYPE Release() override
        {
            g_module.Unlock();
            return 1;
        }
        HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override
        {
            return SystemStateBackupRestoreImpl::Create(outer, riid, object);
        }
        HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
        {
            if (lock)
                g_module.Lock();
            else
                g_module.Unlock();
            return S_OK;
        }
    };

    ClassFactory g_classFactory;

    HRESULT CSystemStateModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** object)
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (!IsEqualCLSID(rclsid, CLSID_SystemStateBackupRestoreImpl))
            return CLASS_E_CLASSNOTAVAILABLE;
        return g_classFactory.QueryInterface(riid, object);
    }

    // The application object: start-up hands the instance to the proxy/stub, which keeps it for
    // its own registration.
    class CSystemStateApp
    {
    public:
        BOOL InitInstance(HINSTANCE instance, DWORD reason)
        {
            g_module.Init(instance);
            return PrxDllMain(instance, reason, nullptr);
        }
        void ExitInstance(HINSTANCE instance, DWORD reason) { PrxDllMain(instance, reason, nullptr); }
    };

    CSystemStateApp g_application;
}

namespace Module
{
    void Lock() { g_module.Lock(); }
    void Unlock() { g_module.Unlock(); }
    LONG GetLockCount() { return g_module.GetLockCount(); }
    HINSTANCE GetInstance() { return g_module.GetInstance(); }
    String GetModulePath() { return g_module.GetModulePath(); }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        return g_application.InitInstance(instance, reason);
    if (reason == DLL_PROCESS_DETACH)
        g_application.ExitInstance(instance, reason);
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** object)
{
    return ComGuard::Run([&]() -> HRESULT {
        // The proxy/stub's runtime writes through the pointer before it looks at anything else.
        if (object == nullptr)
            return E_POINTER;
        // The proxy/stub answers for the interface's marshalling class.
        if (PrxDllGetClassObject(rclsid, riid, object) == S_OK)
            return S_OK;
        return g_module.GetClassObject(rclsid, riid, object);
    });
}

STDAPI DllCanUnloadNow()
{
    return ComGuard::Run([]() -> HRESULT {
        // S_FALSE from the proxy/stub means its factory or proxies are still alive: their code is
        // in this module.
        const HRESULT hr = PrxDllCanUnloadNow();
        if (hr != S_OK)
            return hr;
        return g_module.GetLockCount() == 0 ? S_OK : S_FALSE;
    });
}

STDAPI DllRegisterServer()
{
    return ComGuard::Run([]() -> HRESULT {
        HRESULT hr;
        {
            // Registration runs under the system default locale, whatever the thread uses.
            ThreadLocaleScope locale(LOCALE_SYSTEM_DEFAULT);
            hr = g_module.UpdateRegistryAppId(true);
            if (SUCCEEDED(hr))
                hr = g_module.RegisterServer();
        }
        if (FAILED(hr))
            return hr;
        return PrxDllRegisterServer();
    });
}

STDAPI DllUnregisterServer()
{
    return ComGuard::Run([]() -> HRESULT {
        HRESULT hr;
        {
            // Registration runs under the system default locale, whatever the thread uses.
            ThreadLocaleScope locale(LOCALE_SYSTEM_DEFAULT);
            hr = g_module.UnregisterServer();
            if (SUCCEEDED(hr))
                hr = g_module.UpdateRegistryAppId(false);
        }
        if (FAILED(hr))
            return hr;
        // Registering first makes the removal succeed even when the entries were already gone.
        hr = PrxDllRegisterServer();
        const HRESULT unregistered = PrxDllUnregisterServer();
        return FAILED(hr) ? hr : unregistered;
    });
}
