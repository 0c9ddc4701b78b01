/* The service-layer liveness probe. */
#include <windows.h>

#include <string.h>

#include "dmi_command_block.h"
#include "probe.h"

enum { PROBE_WAIT_MS = 5000, PROBE_RESPONSE_SIZE = 512 };

typedef uint32_t(__stdcall *DmiInvokeFn)(DmiCommandBlock *block);

static HMODULE g_dmiapi;
static DmiInvokeFn g_dmiInvoke;
static DmiCommandBlock g_probeBlock;
static uint32_t g_probeResponse[PROBE_RESPONSE_SIZE / 4];
/* Set only while a probe waits; a confirmation that comes later finds it null
 * and does nothing. */
static HANDLE g_probeEvent;
static CRITICAL_SECTION g_probeEventLock;

void ProbeProcessInit(void)
{
    InitializeCriticalSection(&g_probeEventLock);
}

void ProbeProcessRelease(void)
{
    DeleteCriticalSection(&g_probeEventLock);
}

static void __stdcall ProbeConfirm(DmiCommandBlock *ignored)
{
    EnterCriticalSection(&g_probeEventLock);
    if (g_probeEvent)
        SetEvent(g_probeEvent);
    LeaveCriticalSection(&g_probeEventLock);
}

static int BindServiceLayer(void)
{
    if (g_dmiInvoke)
        return 1;
    HMODULE dmiapi = LoadLibraryA("DMIAPI.DLL");
    if (!dmiapi)
        return 0;
    DmiInvokeFn invoke = (DmiInvokeFn)GetProcAddress(dmiapi, "DmiInvoke");
    HMODULE self;
    /* The service layer may confirm at any time later, so this library and its
     * confirm function must stay loaded from now on. */
    if (!invoke || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                       (LPCSTR)ProbeConfirm, &self)) {
        FreeLibrary(dmiapi);
        return 0;
    }
    g_dmiapi = dmiapi;
    g_dmiInvoke = invoke;
    return 1;
}

uint32_t ProbeServiceLayer(void)
{
    if (!BindServiceLayer())
        return 0;

    memset(&g_probeBlock, 0, sizeof g_probeBlock);
    g_probeBlock.signature = DMI_SIGNATURE;
    g_probeBlock.command = DMI_CMD_REGISTER;
    g_probeBlock.blockLength = DMI_REGISTRATION_BLOCK_SIZE;
    g_probeBlock.context = 1;
    g_probeBlock.responseSize = PROBE_RESPONSE_SIZE;
    g_probeBlock.response = g_probeResponse;
    g_probeBlock.reserved24 = 1;
    g_probeBlock.confirmCallback = ProbeConfirm;

    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!event)
        return 0;
    EnterCriticalSection(&g_probeEventLock);
    g_probeEvent = event;
    LeaveCriticalSection(&g_probeEventLock);

    uint32_t result = 0;
    if (g_dmiInvoke(&g_probeBlock) == 0 && WaitForSingleObject(event, PROBE_WAIT_MS) == WAIT_OBJECT_0) {
        g_probeBlock.command = DMI_CMD_UNREGISTER;
        g_probeBlock.handle = g_probeResponse[DMI_RESPONSE_HANDLE_OFFSET / 4];
        result = g_dmiInvoke(&g_probeBlock) == 0;
    }

    EnterCriticalSection(&g_probeEventLock);
    g_probeEvent = NULL;
    LeaveCriticalSection(&g_probeEventLock);
    CloseHandle(event);
    return result;
}
