#pragma once
// Copies of labservice.exe run as services and as plain programs for the tests of the service
// and process helpers, each under a name of its own and cleaned up afterwards.

#include "common/Handles.h"
#include "common/LabBinaries.h"

#include <windows.h>

namespace LabProcess
{
    // Milliseconds since the given tick.
    inline DWORD Since(DWORD tick)
    {
        return GetTickCount() - tick;
    }

    // Whether the process has ended within the wait.
    inline bool Ended(const UniqueKernelHandle& process, DWORD wait)
    {
        return WaitForSingleObject(process.get(), wait) == WAIT_OBJECT_0;
    }

    inline DWORD ExitCode(const UniqueKernelHandle& process)
    {
        DWORD code = 0xDEADBEEF;
        GetExitCodeProcess(process.get(), &code);
        return code;
    }

    // Ends what a test left running; used on the way out.
    inline void EnsureEnded(UniqueKernelHandle& process)
    {
        if (process && !Ended(process, 0))
        {
            TerminateProcess(process.get(), 99);
            Ended(process, 5000);
        }
        process.reset();
    }

    // Exit code of labwindow.exe when it cannot create its window: Wine without a display
    // driver (no X server, and the prefix's Graphics driver not set to "null").
    constexpr DWORD NoWindowExitCode = 3;

    // Starts labwindow.exe, or labservice.exe with mode "sleep", and waits until it is ready.
    // Empty when it cannot be started; a process that ended before it was ready is handed back
    // ended.
    inline UniqueKernelHandle StartProgram(const String& program, const wchar_t* mode)
    {
        const String eventName = Strings::Format(L"QmLabReady-%lu-%lu", GetCurrentProcessId(), GetTickCount());
        UniqueKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
        String commandLine = mode != nullptr
                                 ? Strings::Format(L"\"%s\" %s %s", program.c_str(), mode, eventName.c_str())
                                 : Strings::Format(L"\"%s\" %s", program.c_str(), eventName.c_str());
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started = {};
        if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
            return UniqueKernelHandle();
        CloseHandle(started.hThread);
        UniqueKernelHandle process(started.hProcess);
        const HANDLE waits[] = {ready.get(), process.get()};
        if (WaitForMultipleObjects(2, waits, FALSE, 10000) == WAIT_TIMEOUT)
            EnsureEnded(process);
        return process;
    }
}
