/* Loads the router as an application would and reports through its exit code:
 *   attach_probe load     0 when VELKDLL.dll loads, 1 when it does not
 *   attach_probe reload   registers, unloads the router with the handle still
 *                         open, loads it again and registers anew: 0 when all worked
 *   attach_probe boardfull  fills the status board first, so that the router's own
 *                         board registration fails: 0 when the router still serves */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "dmi_command_block.h"
#include "velkcomm.h"

typedef uint32_t(__stdcall *InvokeFn)(DmiCommandBlock *);

static HANDLE g_confirmed;
static void __stdcall Confirmed(DmiCommandBlock *block) { SetEvent(g_confirmed); }

/* Registers, issues a command and unregisters; 1 when each was confirmed. */
static int RegisterOnce(HMODULE router)
{
    static unsigned char response[64];
    DmiCommandBlock block = {0};
    InvokeFn invoke = (InvokeFn)GetProcAddress(router, "DmiInvoke");
    block.signature = DMI_SIGNATURE;
    block.command = DMI_CMD_REGISTER;
    block.blockLength = DMI_REGISTRATION_BLOCK_SIZE;
    block.responseSize = sizeof response;
    block.response = response;
    block.confirmCallback = Confirmed;
    if (!invoke || invoke(&block) != 0 || WaitForSingleObject(g_confirmed, 10000) != WAIT_OBJECT_0)
        return 0;
    uint32_t handle;
    memcpy(&handle, response + DMI_RESPONSE_HANDLE_OFFSET, 4);
    uint32_t commands[] = {512, DMI_CMD_UNREGISTER};
    for (int i = 0; i < 2; i++) {
        memset(&block, 0, sizeof block);
        block.signature = DMI_SIGNATURE;
        block.command = commands[i];
        block.blockLength = DMI_REGISTRATION_BLOCK_SIZE;
        block.handle = handle;
        if (invoke(&block) != 0 || WaitForSingleObject(g_confirmed, 10000) != WAIT_OBJECT_0)
            return 0;
    }
    return 1;
}

/* Registers routers on the board until it is full; returns how many. */
static int FillBoard(uint32_t *handles, int max)
{
    int n = 0;
    while (n < max && (handles[n] = RegisterVelkDll()) != BOARD_INVALID_HANDLE)
        n++;
    return n < max && GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? n : -1;
}

int main(int argc, char **argv)
{
    g_confirmed = CreateEventA(NULL, FALSE, FALSE, NULL);
    HMODULE router = LoadLibraryA("VELKDLL.dll");
    if (argc > 1 && !strcmp(argv[1], "load"))
        return router ? 0 : 1;
    if (argc > 1 && !strcmp(argv[1], "reload")) {
        if (!router || !RegisterOnce(router))
            return 2;
        FreeLibrary(router);
        router = LoadLibraryA("VELKDLL.dll");
        return router && RegisterOnce(router) ? 0 : 3;
    }
    if (argc > 1 && !strcmp(argv[1], "boardfull")) {
        static uint32_t fillers[65536];
        FreeLibrary(router);
        int filled = FillBoard(fillers, 65536);
        if (filled < 0)
            return 4;
        router = LoadLibraryA("VELKDLL.dll");
        int served = router && RegisterOnce(router);
        FreeLibrary(router);
        for (int i = 0; i < filled; i++)
            UnregisterVelkDll(fillers[i]);
        return served ? 0 : 5;
    }
    fprintf(stderr, "usage: attach_probe load|reload|boardfull\n");
    return 9;
}
