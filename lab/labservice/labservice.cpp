// labservice.exe: a service program and a plain program for the service helper's tests and the
// lab scripts. Every mode ends by itself after a few minutes, so a test that fails half way
// leaves nothing running for long.
//
//   labservice.exe prompt <service>   service that stops as soon as it is asked to
//   labservice.exe slow <service> 0   (any service mode) without the time limit: a lab machine's
//                                     own service that must run for as long as the machine
//   labservice.exe slow <service>     service that takes about 2.5 s to stop, reporting progress
//   labservice.exe ignore <service>   service that answers a stop with "stop pending" and never
//                                     stops (it has to be killed)
//   labservice.exe sleep <event>      program without windows that waits to be killed; it
//                                     signals the named event once it runs
//   labservice.exe hold <file> <dir>  opens the file without sharing (nobody else can read, write
//                                     or delete it), then creates <dir>\held; closes the file and
//                                     removes both marks once <dir>\release exists. A file that
//                                     cannot be opened gives <dir>\failed instead of held.
// No mode ends with exit code 0 by itself, so 0 tells a test that the process was terminated
// with that code.

#include <windows.h>

#include <cwchar>
#include <string>

namespace
{
    DWORD Lifetime = 180 * 1000;
    constexpr int ServiceEndedExitCode = 5;
    constexpr int SleepEndedExitCode = 6;

    enum class Mode
    {
        Prompt,
        Slow,
        Ignore
    };

    Mode g_mode = Mode::Prompt;
    SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
    HANDLE g_stopRequested = nullptr;
    CRITICAL_SECTION g_statusLock;
    SERVICE_STATUS g_status = {};

    void Report(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0)
    {
        EnterCriticalSection(&g_statusLock);
        g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        g_status.dwCurrentState = state;
        g_status.dwControlsAccepted =
            state == SERVICE_RUNNING || state == SERVICE_PAUSED ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE : 0;
        g_status.dwWin32ExitCode = NO_ERROR;
        g_status.dwCheckPoint = checkPoint;
        g_status.dwWaitHint = waitHint;
        SetServiceStatus(g_statusHandle, &g_status);
        LeaveCriticalSection(&g_statusLock);
    }

    DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
    {
        switch (control)
        {
        case SERVICE_CONTROL_STOP:
            // Reported before returning, so that the caller's next status query already sees it.
            Report(SERVICE_STOP_PENDING, 1, 3000);
            SetEvent(g_stopRequested);
            return NO_ERROR;
        case SERVICE_CONTROL_PAUSE:
            Report(SERVICE_PAUSED);
            return NO_ERROR;
        case SERVICE_CONTROL_CONTINUE:
            Report(SERVICE_RUNNING);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
        }
    }

    void WINAPI ServiceMain(DWORD, wchar_t** arguments)
    {
        g_statusHandle = RegisterServiceCtrlHandlerExW(arguments[0], Handler, nullptr);
        if (g_statusHandle == nullptr)
            return;
        Report(SERVICE_RUNNING);
        const DWORD started = GetTickCount();
        WaitForSingleObject(g_stopRequested, Lifetime);

        switch (g_mode)
        {
        case Mode::Prompt:
            break;
        case Mode::Slow:
            for (DWORD checkPoint = 2; checkPoint < 10; ++checkPoint)
            {
                Sleep(300);
                Report(SERVICE_STOP_PENDING, checkPoint, 3000);
            }
            break;
        case Mode::Ignore:
        {
            const DWORD lived = GetTickCount() - started;
            if (lived < Lifetime)
                Sleep(Lifetime - lived);
            break;
        }
        }
        Report(SERVICE_STOPPED);
    }

    int RunService(Mode mode, const wchar_t* name)
    {
        g_mode = mode;
        InitializeCriticalSection(&g_statusLock);
        g_stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        wchar_t serviceName[256];
        lstrcpynW(serviceName, name, 256);
        SERVICE_TABLE_ENTRYW table[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) ? ServiceEndedExitCode : static_cast<int>(GetLastError());
    }

    void SignalReady(const wchar_t* eventName)
    {
        const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
        if (ready != nullptr)
        {
            SetEvent(ready);
            CloseHandle(ready);
        }
    }

    int RunSleep(const wchar_t* eventName)
    {
        SignalReady(eventName);
        Sleep(Lifetime);
        return SleepEndedExitCode;
    }

    bool Exists(const std::wstring& path)
    {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    void Mark(const std::wstring& path)
    {
        const HANDLE mark = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (mark != INVALID_HANDLE_VALUE)
            CloseHandle(mark);
    }

    int RunHold(const wchar_t* file, const wchar_t* folder)
    {
        const std::wstring held = std::wstring(folder) + L"\\held";
        const std::wstring release = std::wstring(folder) + L"\\release";
        CreateDirectoryW(folder, nullptr);
        const HANDLE handle = CreateFileW(file, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
        {
            Mark(std::wstring(folder) + L"\\failed");
            return 2;
        }
        Mark(held);
        const DWORD started = GetTickCount();
        while (!Exists(release) && GetTickCount() - started < Lifetime)
            Sleep(20);
        CloseHandle(handle);
        DeleteFileW(release.c_str());
        DeleteFileW(held.c_str());
        return SleepEndedExitCode;
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 1;
    const wchar_t* mode = argv[1];
    const wchar_t* argument = argv[2];
    if (argc > 3 && wcscmp(argv[3], L"0") == 0)
        Lifetime = INFINITE;
    if (wcscmp(mode, L"prompt") == 0)
        return RunService(Mode::Prompt, argument);
    if (wcscmp(mode, L"slow") == 0)
        return RunService(Mode::Slow, argument);
    if (wcscmp(mode, L"ignore") == 0)
        return RunService(Mode::Ignore, argument);
    if (wcscmp(mode, L"sleep") == 0)
        return RunSleep(argument);
    if (wcscmp(mode, L"hold") == 0 && argc > 3)
        return RunHold(argument, argv[3]);
    return 1;
}
