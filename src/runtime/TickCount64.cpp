// The thread library that the -posix compilers link statically measures its timed waits with
// GetTickCount64, which came with Windows Vista: importing it keeps every binary from loading on
// Windows Server 2003. This object defines the import slot itself, so the linker takes it
// instead of kernel32's entry; the slot leads to kernel32's function where the system has one
// and to the performance counter where it does not.
//
// No C++ runtime here: the slot is called from inside the thread library's own waits (static
// initialisation guards among them), so nothing in it may take a lock or throw.

#include "common/Handles.h"

namespace
{
    using TickCount64Function = ULONGLONG(WINAPI*)();

    ULONGLONG PerformanceCounterMilliseconds()
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

    ULONGLONG WINAPI TickCount64() noexcept
    {
        const DWORD lastError = GetLastError();
        const auto system = GetProc<TickCount64Function>(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64");
        const ULONGLONG milliseconds = system != nullptr ? system() : PerformanceCounterMilliseconds();
        SetLastError(lastError);
        return milliseconds;
    }
}

#if defined(_WIN64)
#define QM_TICKCOUNT64_IMPORT "__imp_GetTickCount64"
#else
#define QM_TICKCOUNT64_IMPORT "__imp__GetTickCount64@0"
#endif

extern "C" TickCount64Function const QmTickCount64Import __asm__(QM_TICKCOUNT64_IMPORT);
extern "C" TickCount64Function const QmTickCount64Import = TickCount64;
