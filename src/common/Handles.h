#pragma once
// Move-only owners, one per kind of handle. Each closes only a handle it holds (never the
// "empty" value) and keeps the caller's last error across the close, so a message formatted
// after a failed call still describes that call.

#include <windows.h>
#include <oleauto.h>

#include <utility>

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
    struct Bstr
    {
        using Type = BSTR;
        static Type Empty() { return nullptr; }
        static void Close(Type handle) { SysFreeString(handle); }
    };
}

using UniqueKernelHandle = UniqueHandle<HandleTraits::Kernel>;   // process, thread, event, token
using UniqueFileHandle = UniqueHandle<HandleTraits::File>;       // CreateFile
using UniqueFindHandle = UniqueHandle<HandleTraits::Find>;       // FindFirstFile
using UniqueRegKey = UniqueHandle<HandleTraits::RegistryKey>;
using UniqueServiceHandle = UniqueHandle<HandleTraits::Service>; // SCM and services
using UniqueLibrary = UniqueHandle<HandleTraits::Library>;
using UniqueLocalMemory = UniqueHandle<HandleTraits::LocalMemory>;
using UniqueBstr = UniqueHandle<HandleTraits::Bstr>;

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
