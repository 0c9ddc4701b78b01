/* rokinsu: configures the registry instrumentation from the key paths that the
 * service layer holds for every component carrying its key-list group. The work
 * runs while the hidden main window is created; the program then ends. */
#include <windows.h>

#include "rokin_setup.h"
#include "rokinsu_resources.h"

#define ROKIN_WINDOW_CLASS "rokin"
#define ROKIN_WINDOW_TITLE "ROKIN (Windows Registry Direct-Interface Instrumentation)"
/* Held for the life of the process; its existence marks a running instance. */
#define ROKIN_INSTANCE_MUTEX "VELK_ROKIN_SETUP"

static int AnotherInstanceRuns(void)
{
    HANDLE mutex = CreateMutexA(NULL, FALSE, ROKIN_INSTANCE_MUTEX);
    DWORD error = GetLastError();
    /* Access denied: it exists, made by an instance running under another account. */
    return error == ERROR_ALREADY_EXISTS || (!mutex && error == ERROR_ACCESS_DENIED);
}

static LRESULT CALLBACK RokinWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        RunSetup(window);
        PostMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        PaintStatus(window, dc);
        EndPaint(window, &paint);
        SendMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_EXIT) {
            SendMessageA(window, WM_CLOSE, 0, 0);
            return 0;
        }
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    if (AnotherInstanceRuns()) {
        MessageBoxA(NULL, "There can only be one instance of the registry setup running", "rokin setup Failure",
                    MB_OK | MB_ICONERROR);
        return 0;
    }
    WNDCLASSA windowClass = {
        .style = CS_HREDRAW | CS_VREDRAW,
        .lpfnWndProc = RokinWindowProc,
        .hInstance = instance,
        .hIcon = LoadIconA(instance, "RokinIcon"),
        .hCursor = LoadCursorA(NULL, IDC_ARROW),
        .hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH),
        .lpszMenuName = "RokinMenu",
        .lpszClassName = ROKIN_WINDOW_CLASS,
    };
    if (!RegisterClassA(&windowClass))
        return 0;
    HWND window = CreateWindowA(ROKIN_WINDOW_CLASS, ROKIN_WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
    if (!window)
        return 0;
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
