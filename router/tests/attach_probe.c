/* Loads the router as an application would and reports through its exit code:
 *   attach_probe load     0 when VELKDLL.dll loads, 1 when it does not
 *   attach_probe reload   registers, unloads the router with the handle still
 *                         open, loads it again and registers anew: 0 when all worked */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "dmi_command_block.h"

typedef uint32_t(__stdcall *InvokeFn)(DmiCommandBlock *);

static HANDLE g_confirmed;
static void __stdcall Confirmed(DmiCommandBlock *block) { SetEvent(g_confirmed); }

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
    return invoke && invoke(&block) == 0 && WaitForSingleObject(g_confirmed, 10000) == WAIT_OBJECT_0;
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
    fprintf(stderr, "usage: attach_probe load|reload\n");
    return 9;
}
