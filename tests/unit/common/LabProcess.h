#pragma once
// The programs and modules built beside unit_tests.exe, and copies of the lab programs under
// names no other process has, so that killing by name reaches only the copy a test started.

#include "common/Handles.h"
#include "ScratchDirectory.h"

#include <windows.h>

#include <vector>

namespace Lab
{
    // The build tree's root: unit_tests.exe lives in its "tests" folder.
    inline String BuildRoot()
    {
        std::vector<wchar_t> path(32768);
        String exe(path.data(), GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
        const String relative = exe.substr(0, exe.rfind(L'\\')) + L"\\..";
        return String(path.data(), GetFullPathNameW(relative.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr));
    }

    inline String MountManagerFolder() { return BuildRoot() + L"\\src\\mountmanager"; }

    // A copy of a lab program in the folder under a name of its own; empty when the copy fails.
    inline String CopyProgram(const wchar_t* exe, const ScratchDirectory& folder, String& copyName)
    {
        static int counter = 0;
        copyName = Strings::Format(L"qmlab%lu_%d.exe", GetCurrentProcessId(), ++counter);
        const String copy = folder / copyName;
        return CopyFileW((BuildRoot() + L"\\lab\\labservice\\" + exe).c_str(), copy.c_str(), FALSE) ? copy : String();
    }

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

    inline void EnsureEnded(UniqueKernelHandle& process)
    {
        if (process && !Ended(process, 0))
        {
            TerminateProcess(process.get(), 99);
            Ended(process, 5000);
        }
        process.reset();
    }

    // Starts labwindow.exe, or labservice.exe with mode "sleep", and waits until it is ready;
    // empty when it cannot be started, ended when it ended before it was ready.
    inline UniqueKernelHandle StartProgram(const String& program, const wchar_t* mode)
    {
        const String eventName = Strings::Format(L"QmLabReady-%lu-%lu", GetCurrentProcessId(), GetTickCount());
        UniqueKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
        String commandLine = Strings::Format(L"\"%s\" %s %s", program.c_str(), mode != nullptr ? mode : L"", eventName.c_str());
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
