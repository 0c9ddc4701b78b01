/* Loads VELKCOMM.dll at run time, registers a router instance and, with the
 * argument "event", an event callback; unloads the library when its first input
 * line arrives, and ends when its input ends. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "velkcomm.h"

typedef uint32_t(__stdcall *RegisterDllFn)(void);
typedef uint32_t(__stdcall *RegisterEventFn)(EventCallback callback);

int main(int argc, char **argv)
{
    char line[16];
    HMODULE board = LoadLibraryA("VELKCOMM.dll");
    RegisterDllFn registerDll = board ? (RegisterDllFn)GetProcAddress(board, "RegisterVelkDll") : NULL;
    RegisterEventFn registerEvent = board ? (RegisterEventFn)GetProcAddress(board, "RegisterEventCallback") : NULL;
    if (!registerDll || !registerEvent)
        return 1;
    uint32_t router = registerDll();
    uint32_t event = argc > 1 && !strcmp(argv[1], "event") ? registerEvent(NULL) : 0;
    printf("registered %u %u\n", router, event);
    fflush(stdout);
    if (!fgets(line, sizeof line, stdin))
        return 0;
    FreeLibrary(board);
    printf("unloaded %d\n", GetModuleHandleA("VELKCOMM.dll") == NULL);
    fflush(stdout);
    while (fgets(line, sizeof line, stdin))
        ;
    return 0;
}
