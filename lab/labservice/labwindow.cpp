// labwindow.exe: a program with a hidden top-level window for the tests of the process helper.
//
//   labwindow.exe <event>   creates its window, signals the named event, and exits with code 7
//                           when the window is asked to close (code 3 when it cannot create one,
//                           as under Wine without a display driver). It ends by itself after a
//                           few minutes with code 6.

#include <windows.h>

namespace
{
    constexpr UINT Lifetime = 180 * 1000;
    constexpr int NoWindowExitCode = 3;
    constexpr UINT LifetimeEndedExitCode = 6;
    constexpr int ClosedByWindowExitCode = 7;

    LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        switch (message)
        {
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(ClosedByWindowExitCode);
            return 0;
        case WM_TIMER:
            ExitProcess(LifetimeEndedExitCode);
        default:
            return DefWindowProcW(window, message, wParam, lParam);
        }
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 1;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QmLabWindow";
    if (RegisterClassW(&windowClass) == 0)
        return NoWindowExitCode;
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"labwindow", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                        100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr)
        return NoWindowExitCode;
    SetTimer(window, 1, Lifetime, nullptr);

    const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]);
    if (ready != nullptr)
    {
        SetEvent(ready);
        CloseHandle(ready);
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
