/* The router's process-wide state and the pieces of its dispatcher. */
#ifndef ROUTER_H
#define ROUTER_H

#include <windows.h>

#include "dmi_command_block.h"
#include "tracking_lists.h"

typedef uint32_t(__stdcall *ServiceLayerInvokeFn)(DmiCommandBlock *block);
typedef uint32_t(__stdcall *ServiceLayerInstallFn)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);

typedef struct Router {
    HMODULE serviceLayer;
    ServiceLayerInvokeFn slInvoke;
    ServiceLayerInstallFn slInstall;
    char computerName[16]; /* empty when the query failed */
    CRITICAL_SECTION lock; /* guards the cancel events of connecting registrations */
    BOOL lockReady;
} Router;

extern Router g_router;

void __stdcall RouterConfirm(DmiCommandBlock *block);
uint32_t __stdcall RouterSecondStub(uint32_t value);

/* Registration at a named node: rewrites the command to 256, checks the node-name
 * record and decides whether the node is this computer. Returns 0 with *remote
 * set, or a result for the application. */
uint32_t ClassifyNodeRegistration(DmiCommandBlock *block, char nodeName[DMI_NODE_NAME_MAX + 1], BOOL *remote);

/* Command 258 with handle 0: signals the oldest connecting registration with
 * this context. */
uint32_t CancelConnectingRegistration(uint32_t context);

#endif
