/* rokinsu_status_view: runs the setup like rokinsu, then keeps its status window
 * on the screen (rokinsu itself closes it as soon as it is drawn), so that the
 * drawing can be looked at. File/Exit ends it. */
#include <windows.h>

#include "rokin_setup.h"
#include "rokinsu_resources.h"

static LRESULT CALLBACK StatusViewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        RunSetup(window);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        PaintStatus(window, dc);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_EXIT)
            DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    WNDCLASSA windowClass = {
        .style = CS_HREDRAW | CS_VREDRAW,
        .lpfnWndProc = StatusViewProc,
        .hInstance = instance,
        .hIcon = LoadIconA(instance, "RokinIcon"),
        .hCursor = LoadCursorA(NULL, IDC_ARROW),
        .hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH),
        .lpszMenuName = "RokinMenu",
        .lpszClassName = "rokin status view",
    };
    if (!RegisterClassA(&windowClass))
        return 1;
    HWND window = CreateWindowA(windowClass.lpszClassName, "ROKIN (Windows Registry Direct-Interface Instrumentation)",
                                WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 640, 400, NULL, NULL, instance,
                                NULL);
    if (!window)
        return 1;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
