/* Registers with the board from its loader notification, as the router does. */
#include <windows.h>

#include "velkcomm.h"

static uint32_t g_handle;

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void *reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_handle = RegisterVelkDll();
    else if (reason == DLL_PROCESS_DETACH)
        UnregisterVelkDll(g_handle);
    return TRUE;
}
