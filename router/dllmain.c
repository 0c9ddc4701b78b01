/* Loading and unloading of the router. */
#include "activity.h"
#include "router.h"

static BOOL Attach(void)
{
    InitializeCriticalSection(&g_router.lock);
    g_router.lockReady = TRUE;

    DWORD size = sizeof g_router.computerName;
    if (!GetComputerNameA(g_router.computerName, &size))
        g_router.computerName[0] = 0;

    if (!InitTrackingLists())
        return FALSE;

    g_router.serviceLayer = LoadLibraryA("DMIAPI.DLL");
    if (!g_router.serviceLayer)
        return FALSE;
    g_router.slInvoke = (ServiceLayerInvokeFn)GetProcAddress(g_router.serviceLayer, "DmiInvoke");
    g_router.slInstall = (ServiceLayerInstallFn)GetProcAddress(g_router.serviceLayer, "DmiInstall");
    if (!g_router.slInvoke || !g_router.slInstall)
        return FALSE;
    RegisterActivity();
    return TRUE;
}

/* Each step only for what exists, so that a failed attach is undone too. When the
 * whole process ends, its threads are gone and the system reclaims memory and
 * libraries: the lists are left alone, since a lock may belong to a dead thread. */
static void Detach(BOOL processEnding)
{
    UnregisterActivity();
    if (!processEnding)
        FreeTrackingLists();
    if (g_router.serviceLayer && !processEnding)
        FreeLibrary(g_router.serviceLayer);
    g_router.serviceLayer = NULL;
    if (g_router.lockReady)
        DeleteCriticalSection(&g_router.lock);
    g_router.lockReady = FALSE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (Attach())
            return TRUE;
        Detach(FALSE);
        return FALSE;
    case DLL_PROCESS_DETACH:
        Detach(reserved != NULL);
        return TRUE;
    default:
        return TRUE;
    }
}
