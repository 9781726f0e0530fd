#pragma once
// Move-only owners, one per kind of handle. Each closes only a handle it holds (never the
// "empty" value) and keeps the caller's last error across the close, so a message formatted
// after a failed call still describes that call.

#include <windows.h>
#include <objbase.h>
#include <wincrypt.h>
#include <oleauto.h>

#include <string>
#include <type_traits>
#include <utility>

struct _HCLUSTER;   // the cluster API's handle type

template <typename Traits>
class UniqueHandle
{
public:
    using Type = typename Traits::Type;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Type handle) noexcept : m_handle(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Type get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != Traits::Empty(); }

    // Closes what is held and hands out the address for a call that fills it.
    Type* put() noexcept
    {
        reset();
        return &m_handle;
    }

    void reset(Type handle = Traits::Empty()) noexcept
    {
        if (m_handle != Traits::Empty())
        {
            const DWORD lastError = GetLastError();
            Traits::Close(m_handle);
            SetLastError(lastError);
        }
        m_handle = handle;
    }

    Type release() noexcept
    {
        return std::exchange(m_handle, Traits::Empty());
    }

private:
    Type m_handle = Traits::Empty();
};

namespace HandleTraits
{
    struct Kernel
    {
        using Type = HANDLE;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { CloseHandle(handle); }
    };
    struct File
    {
        using Type = HANDLE;
        static Type Empty() { return INVALID_HANDLE_VALUE; }
        static void Close(Type handle) { CloseHandle(handle); }
    };
    struct Find
    {
        using Type = HANDLE;
        static Type Empty() { return INVALID_HANDLE_VALUE; }
        static void Close(Type handle) { FindClose(handle); }
    };
    struct RegistryKey
    {
        using Type = HKEY;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { RegCloseKey(handle); }
    };
    struct Service
    {
        using Type = SC_HANDLE;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { CloseServiceHandle(handle); }
    };
    struct Library
    {
        using Type = HMODULE;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { FreeLibrary(handle); }
    };
    struct LocalMemory
    {
        using Type = HLOCAL;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { LocalFree(handle); }
    };
    // A string the COM task allocator gave (an out-parameter of a COM call).
    struct CoTaskString
    {
        using Type = wchar_t*;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { CoTaskMemFree(handle); }
    };
    struct Bstr
    {
        using Type = BSTR;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { SysFreeString(handle); }
    };
    // A BSTR holding a password: its characters are wiped before the string goes back.
    struct SecretBstr
    {
        using Type = BSTR;
        static Type Empty() { return nullptr; }
        static void Close(Type handle)
        {
            SecureZeroMemory(handle, SysStringByteLen(handle));
            SysFreeString(handle);
        }
    };
    // A cluster handle. The cluster library stays loaded while one of its handles lives (its
    // owner is made first), so its close function is found among the loaded modules.
    struct Cluster
    {
        using Type = _HCLUSTER*;
        static Type Empty() { return nullptr; }
        static void Close(Type handle)
        {
            using CloseClusterFunction = BOOL(WINAPI*)(Type);
            const HMODULE clusapi = GetModuleHandleW(L"clusapi.dll");
            const FARPROC close = clusapi != nullptr ? GetProcAddress(clusapi, "CloseCluster") : nullptr;
            if (close != nullptr)
                reinterpret_cast<CloseClusterFunction>(reinterpret_cast<void*>(close))(handle);
        }
    };
    struct CryptProvider
    {
        using Type = HCRYPTPROV;
        static Type Empty() { return 0; }
        static void Close(Type handle) { CryptReleaseContext(handle, 0); }
    };
    struct CryptHash
    {
        using Type = HCRYPTHASH;
        static Type Empty() { return 0; }
        static void Close(Type handle) { CryptDestroyHash(handle); }
    };
    // A whole block from VirtualAlloc, typed by what it holds.
    template <typename Element = void>
    struct VirtualMemory
    {
        using Type = Element*;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { VirtualFree(handle, 0, MEM_RELEASE); }
    };
}

using UniqueKernelHandle = UniqueHandle<HandleTraits::Kernel>;   // process, thread, event, token
using UniqueFileHandle = UniqueHandle<HandleTraits::File>;       // CreateFile
using UniqueFindHandle = UniqueHandle<HandleTraits::Find>;       // FindFirstFile
using UniqueRegKey = UniqueHandle<HandleTraits::RegistryKey>;
using UniqueServiceHandle = UniqueHandle<HandleTraits::Service>; // SCM and services
using UniqueLibrary = UniqueHandle<HandleTraits::Library>;
using UniqueLocalMemory = UniqueHandle<HandleTraits::LocalMemory>;
using UniqueCoTaskString = UniqueHandle<HandleTraits::CoTaskString>;
using UniqueBstr = UniqueHandle<HandleTraits::Bstr>;
using UniqueSecretBstr = UniqueHandle<HandleTraits::SecretBstr>;
using UniqueCluster = UniqueHandle<HandleTraits::Cluster>;   // OpenCluster
using UniqueCryptProvider = UniqueHandle<HandleTraits::CryptProvider>; // CryptAcquireContext
using UniqueCryptHash = UniqueHandle<HandleTraits::CryptHash>;
using UniqueVirtualMemory = UniqueHandle<HandleTraits::VirtualMemory<>>; // VirtualAlloc, whole block

// The typed address of an export; null when the module is null or lacks the export. Calls that
// came after Windows Server 2003 are reached only this way.
template <typename Function>
Function GetProc(HMODULE module, const char* name) noexcept
{
    static_assert(std::is_pointer<Function>::value && std::is_function<std::remove_pointer_t<Function>>::value,
                  "GetProc takes a function pointer type");
    if (module == nullptr)
        return nullptr;
    // Through void* because the exported address is untyped; a direct cast draws a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A block that a loaded library allocated and takes back through its own release call (held as
// a pointer, since the library is loaded at run time). Move-only.
template <typename Element>
class UniqueLibraryBlock
{
public:
    using Release = void(WINAPI*)(void*);

    explicit UniqueLibraryBlock(Release release) noexcept : m_release(release) {}
    UniqueLibraryBlock(UniqueLibraryBlock&& other) noexcept
        : m_release(other.m_release), m_block(std::exchange(other.m_block, nullptr))
    {
    }
    UniqueLibraryBlock& operator=(UniqueLibraryBlock&&) = delete;
    UniqueLibraryBlock(const UniqueLibraryBlock&) = delete;
    UniqueLibraryBlock& operator=(const UniqueLibraryBlock&) = delete;
    ~UniqueLibraryBlock() { reset(); }

    Element* get() const noexcept { return m_block; }
    Element** put() noexcept
    {
        reset();
        return &m_block;
    }
    void reset() noexcept
    {
        if (m_block != nullptr)
        {
            const DWORD lastError = GetLastError();
            m_release(std::exchange(m_block, nullptr));
            SetLastError(lastError);
        }
    }

private:
    Release m_release;
    Element* m_block = nullptr;
};

// A network share added for a scope, removed when the scope ends unless reset() removed it
// already. The removal goes through the network library's delete call, held as a pointer since
// the library is loaded at run time (and must outlive this owner). Move-only.
class UniqueNetShare
{
public:
    using Delete = DWORD(WINAPI*)(wchar_t* server, wchar_t* name, DWORD reserved);

    UniqueNetShare(Delete remove, const wchar_t* name) : m_remove(remove), m_name(name) {}
    UniqueNetShare(UniqueNetShare&& other) noexcept
        : m_remove(std::exchange(other.m_remove, nullptr)), m_name(std::move(other.m_name))
    {
    }
    UniqueNetShare& operator=(UniqueNetShare&&) = delete;
    UniqueNetShare(const UniqueNetShare&) = delete;
    UniqueNetShare& operator=(const UniqueNetShare&) = delete;
    ~UniqueNetShare()
    {
        const DWORD lastError = GetLastError();
        reset();
        SetLastError(lastError);
    }

    // Removes the share now: the delete call's result (0 on success), 0 when nothing is held.
    // Not tried again after a failure.
    DWORD reset() noexcept
    {
        const Delete remove = std::exchange(m_remove, nullptr);
        return remove != nullptr ? remove(nullptr, &m_name[0], 0) : 0;
    }

private:
    Delete m_remove;
    std::wstring m_name;
};

// A COM interface pointer owner: releases on destruction, move-only.
template <typename Interface>
class ComPtr
{
public:
    ComPtr() noexcept = default;
    explicit ComPtr(Interface* pointer) noexcept : m_pointer(pointer) {}
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        if (this != &other)
        {
            reset();
            m_pointer = std::exchange(other.m_pointer, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    Interface* get() const noexcept { return m_pointer; }
    Interface* operator->() const noexcept { return m_pointer; }
    explicit operator bool() const noexcept { return m_pointer != nullptr; }
    Interface** put() noexcept
    {
        reset();
        return &m_pointer;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void reset() noexcept
    {
        if (m_pointer != nullptr)
            std::exchange(m_pointer, nullptr)->Release();
    }
    Interface* release() noexcept { return std::exchange(m_pointer, nullptr); }

private:
    Interface* m_pointer = nullptr;
};

// A critical section that lives as long as its owner; Lock() holds it for one scope.
class CriticalSection
{
public:
    CriticalSection() noexcept { InitializeCriticalSection(&m_section); }
    ~CriticalSection() { DeleteCriticalSection(&m_section); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    class Scope
    {
    public:
        explicit Scope(CRITICAL_SECTION& section) noexcept : m_section(section) { EnterCriticalSection(&m_section); }
        ~Scope() { LeaveCriticalSection(&m_section); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        CRITICAL_SECTION& m_section;
    };

    Scope Lock() noexcept { return Scope(m_section); }

private:
    CRITICAL_SECTION m_section;
};

// A VARIANT that is cleared when it goes, move-only.
class UniqueVariant
{
public:
    UniqueVariant() noexcept { VariantInit(&m_variant); }
    UniqueVariant(UniqueVariant&& other) noexcept : UniqueVariant() { std::swap(m_variant, other.m_variant); }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept
    {
        if (this != &other)
        {
            reset();
            std::swap(m_variant, other.m_variant);
        }
        return *this;
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { reset(); }

    const VARIANT& get() const noexcept { return m_variant; }
    VARIANT& get() noexcept { return m_variant; }
    // Clears what is held and hands out the variant for a call that fills it.
    VARIANT* put() noexcept
    {
        reset();
        return &m_variant;
    }
    void reset() noexcept
    {
        const DWORD lastError = GetLastError();
        VariantClear(&m_variant);
        VariantInit(&m_variant);
        SetLastError(lastError);
    }

    // Takes over the string (null when it could not be allocated: check get().bstrVal).
    static UniqueVariant FromBstr(BSTR text) noexcept
    {
        UniqueVariant variant;
        variant.m_variant.vt = VT_BSTR;
        variant.m_variant.bstrVal = text;
        return variant;
    }
    // Holds a reference of its own to the interface.
    static UniqueVariant FromUnknown(IUnknown* unknown) noexcept
    {
        UniqueVariant variant;
        variant.m_variant.vt = VT_UNKNOWN;
        variant.m_variant.punkVal = unknown;
        if (unknown != nullptr)
            unknown->AddRef();
        return variant;
    }
    // Takes over a SAFEARRAY of bytes (which may be null).
    static UniqueVariant FromByteArray(SAFEARRAY* bytes) noexcept
    {
        UniqueVariant variant;
        if (bytes == nullptr)
            return variant;
        variant.m_variant.vt = VT_ARRAY | VT_UI1;
        variant.m_variant.parray = bytes;
        return variant;
    }
    static UniqueVariant FromLong(LONG value) noexcept
    {
        UniqueVariant variant;
        variant.m_variant.vt = VT_I4;
        variant.m_variant.lVal = value;
        return variant;
    }

private:
    VARIANT m_variant;
};

// The calling thread's COM initialisation for a scope: CoUninitialize once at the end exactly
// when CoInitializeEx succeeded (S_FALSE included). Move-only; must end on the thread it began.
class ComApartment
{
public:
    ComApartment() noexcept = default;
    explicit ComApartment(DWORD model) noexcept : m_result(CoInitializeEx(nullptr, model)) {}
    ComApartment(ComApartment&& other) noexcept : m_result(std::exchange(other.m_result, CO_E_NOTINITIALIZED)) {}
    ComApartment& operator=(ComApartment&& other) noexcept
    {
        if (this != &other)
        {
            reset();
            m_result = std::exchange(other.m_result, CO_E_NOTINITIALIZED);
        }
        return *this;
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() { reset(); }

    // The thread is initialised and this scope owes the balancing call.
    explicit operator bool() const noexcept { return SUCCEEDED(m_result); }
    // What CoInitializeEx answered (RPC_E_CHANGED_MODE for a thread in the other model).
    HRESULT Result() const noexcept { return m_result; }
    void reset() noexcept
    {
        if (SUCCEEDED(std::exchange(m_result, CO_E_NOTINITIALIZED)))
            CoUninitialize();
    }

private:
    HRESULT m_result = CO_E_NOTINITIALIZED;
};

// Sets the calling thread's locale for a scope and puts the earlier one back at its end.
class ThreadLocaleScope
{
public:
    explicit ThreadLocaleScope(LCID locale) noexcept : m_saved(GetThreadLocale()) { SetThreadLocale(locale); }
    ThreadLocaleScope(const ThreadLocaleScope&) = delete;
    ThreadLocaleScope& operator=(const ThreadLocaleScope&) = delete;
    ~ThreadLocaleScope()
    {
        const DWORD lastError = GetLastError();
        SetThreadLocale(m_saved);
        SetLastError(lastError);
    }

private:
    LCID m_saved;
};

// Runs an action at the end of a scope unless dismissed first: the undo of a half-done step (abort
// a backup, remove what a failed copy wrote, free what a library handed out). Neither copyable
// nor movable; made by OnScopeExit. The action must not throw.
template <typename Action>
class ScopeExit
{
public:
    explicit ScopeExit(Action action) noexcept : m_action(action) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit()
    {
        if (!m_dismissed)
            m_action();
    }
    void Dismiss() noexcept { m_dismissed = true; }

private:
    Action m_action;
    bool m_dismissed = false;
};

template <typename Action>
ScopeExit<Action> OnScopeExit(Action action) noexcept
{
    return ScopeExit<Action>(action);
}
