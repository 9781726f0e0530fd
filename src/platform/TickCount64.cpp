// The thread library that the -posix compilers link statically measures its timed waits with
// GetTickCount64, which came with Windows Vista: importing it keeps every binary from loading on
// Windows Server 2003. This object defines the import slot itself, so the linker takes it
// instead of kernel32's entry; the slot leads to kernel32's function where the system has one
// and to the performance counter where it does not.
//
// No C++ runtime here: the slot is called from inside the thread library's own waits (static
// initialisation guards among them), so nothing in it may take a lock of that library or throw.

#include "handles/Handles.h"

namespace
{
    using TickCount64Function = ULONGLONG(WINAPI*)();

    ULONGLONG WINAPI PerformanceCounterMilliseconds()
    {
        LARGE_INTEGER frequency;
        LARGE_INTEGER counter;
        if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&counter))
            return GetTickCount();
        const ULONGLONG ticks = static_cast<ULONGLONG>(counter.QuadPart);
        const ULONGLONG perSecond = static_cast<ULONGLONG>(frequency.QuadPart);
        // Split so that the multiplication cannot overflow for any uptime.
        return ticks / perSecond * 1000 + ticks % perSecond * 1000 / perSecond;
    }

    // The function the slot leads to, found once: looking it up takes the loader lock, which a
    // thread in a timed wait must not need (another thread may hold it while waiting for this
    // one).
    void* volatile g_resolved = nullptr;

    TickCount64Function Resolve() noexcept
    {
        if (void* known = InterlockedCompareExchangePointer(&g_resolved, nullptr, nullptr))
            return reinterpret_cast<TickCount64Function>(known);
        const DWORD lastError = GetLastError();
        TickCount64Function chosen =
            GetProc<TickCount64Function>(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64");
        if (chosen == nullptr)
            chosen = PerformanceCounterMilliseconds;
        SetLastError(lastError);
        InterlockedExchangePointer(&g_resolved, reinterpret_cast<void*>(chosen));
        return chosen;
    }

    // Found while the binary is loaded, before any thread of ours waits.
    struct ResolvedAtLoad
    {
        ResolvedAtLoad() noexcept { Resolve(); }
    } g_resolvedAtLoad;

    ULONGLONG WINAPI TickCount64() noexcept
    {
        return Resolve()();
    }
}

#if defined(_WIN64)
#define QM_TICKCOUNT64_IMPORT "__imp_GetTickCount64"
#else
#define QM_TICKCOUNT64_IMPORT "__imp__GetTickCount64@0"
#endif

extern "C" TickCount64Function const QmTickCount64Import __asm__(QM_TICKCOUNT64_IMPORT);
extern "C" TickCount64Function const QmTickCount64Import = TickCount64;
