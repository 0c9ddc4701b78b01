/* The entry points, the dispatcher and the relay of local confirmations. */
#include "activity.h"
#include "router.h"
#include "velkdll.h"

Router g_router;

static BOOL IsRegistrationBlockUsable(const DmiCommandBlock *block)
{
    /* The confirmation rewrites the handle word at +8 of the response. */
    return block->response && block->responseSize >= DMI_REGISTRATION_RESPONSE_MIN;
}

static uint32_t CallServiceLayer(DmiCommandBlock *block)
{
    BeginActivity(ACTIVITY_LOCAL_INVOKES);
    uint32_t result = g_router.slInvoke(block);
    EndActivity(ACTIVITY_LOCAL_INVOKES);
    return result;
}

static uint32_t Dispatch(DmiCommandBlock *block, BOOL wait)
{
    if (!block)
        return DMI_ERR_BAD_ARGUMENT;

    uint32_t command = block->command;
    if (command == DMI_CMD_REGISTER_AT_NODE) {
        char nodeName[DMI_NODE_NAME_MAX + 1];
        BOOL remote;
        uint32_t result = ClassifyNodeRegistration(block, nodeName, &remote);
        if (result)
            return result;
        if (remote)
            return DMI_ERR_NO_CONNECTION; /* no transport to reach other nodes */
        command = DMI_CMD_REGISTER;
    }
    if (command == DMI_CMD_CANCEL && block->handle == 0)
        return CancelConnectingRegistration(block->context);
    if (command == DMI_CMD_UNTRACKED_1026 || command == DMI_CMD_UNTRACKED_1027) {
        uint32_t handle = block->handle;
        block->handle = 0;
        uint32_t result = CallServiceLayer(block);
        block->handle = handle;
        return result;
    }

    BOOL registration = command == DMI_CMD_REGISTER;
    if (registration && !IsRegistrationBlockUsable(block))
        return DMI_ERR_BAD_ARGUMENT;
    PendingCommand *pc = CreatePending(block);
    if (!pc)
        return DMI_ERR_NO_MEMORY;
    pc->savedResponse = block->response;

    if (registration) {
        pc->reservedEntry = AllocateMapEntry(0);
        if (!pc->reservedEntry) {
            UnlinkPending(pc);
            FreePending(pc);
            return DMI_ERR_NO_MEMORY;
        }
        pc->appConfirm = block->confirmCallback;
        pc->appSecond = block->secondCallback;
        block->confirmCallback = RouterConfirm;
        block->secondCallback = RouterSecondStub;
    } else {
        HandleMapEntry entry;
        if (!LookUpHandle(block->handle, &entry) || !entry.alive) {
            UnlinkPending(pc);
            FreePending(pc);
            return DMI_ERR_BAD_HANDLE;
        }
        pc->mapEntry = entry.self;
        pc->appConfirm = entry.appConfirm;
        pc->connection = entry.connection;
        pc->invokeFn = entry.invokeFn;
        pc->releaseFn = entry.releaseFn;
        block->handle = entry.realHandle;
    }

    pc->savedContext = block->context;
    block->context = (uint32_t)pc;
    if (wait && command != DMI_CMD_CANCEL)
        pc->waitSemaphore = CreateSemaphoreA(NULL, 0, 1, NULL);
    HANDLE semaphore = pc->waitSemaphore;

    uint32_t result = CallServiceLayer(block);
    if (result == 0) {
        /* Without a semaphore the confirmation owns the entry and may have freed
         * it; with one, the confirmation has taken it off the list and left it. */
        if (semaphore) {
            WaitForSingleObject(semaphore, INFINITE);
            CloseHandle(semaphore);
            FreePending(pc);
        }
        return 0;
    }
    if (semaphore)
        CloseHandle(semaphore);
    /* Refused: no confirmation follows, unless a faulty service layer sent one anyway. */
    if (ClaimPending(pc, block))
        FreePending(pc);
    return result;
}

uint32_t __stdcall DmiInvoke(DmiCommandBlock *block)
{
    return Dispatch(block, FALSE);
}

uint32_t __stdcall DmiInvokeEx(DmiCommandBlock *block)
{
    return Dispatch(block, TRUE);
}

uint32_t __stdcall DmiInstall(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5)
{
    return g_router.slInstall(a1, a2, a3, a4, a5);
}

void __stdcall RouterConfirm(DmiCommandBlock *block)
{
    PendingCommand *pc = (PendingCommand *)block->context;
    /* A stale or foreign context, a second confirmation, or one for another
     * block is ignored. */
    if (!ClaimPending(pc, block))
        return;
    BeginActivity(ACTIVITY_LOCAL_CONFIRMS);

    /* Read before the block goes back to the application, which may reuse it. */
    uint32_t command = block->command;
    HandleMapEntry *entry;
    if (command == DMI_CMD_REGISTER) {
        uint32_t *handleWord = (uint32_t *)((unsigned char *)pc->savedResponse + DMI_RESPONSE_HANDLE_OFFSET);
        entry = pc->reservedEntry;
        pc->reservedEntry = NULL;
        entry->realHandle = *handleWord;
        entry->appConfirm = pc->appConfirm;
        entry->appSecond = pc->appSecond;
        AppendMapEntry(entry);
        *handleWord = (uint32_t)entry;
    } else {
        entry = pc->mapEntry;
    }
    /* An ended registration takes no more commands, also from inside the callback. */
    BOOL unregistered = command == DMI_CMD_UNREGISTER && UnlinkMapEntry(entry, TRUE);

    block->context = pc->savedContext;
    block->handle = (uint32_t)entry;
    if (command == DMI_CMD_REGISTER) {
        block->confirmCallback = pc->appConfirm;
        block->secondCallback = pc->appSecond;
    }
    if (pc->waitSemaphore) {
        ReleaseSemaphore(pc->waitSemaphore, 1, NULL);
    } else {
        DmiConfirmCallback confirm = pc->appConfirm;
        FreePending(pc);
        if (confirm)
            confirm(block);
    }
    if (unregistered)
        FreeMapEntry(entry);
    EndActivity(ACTIVITY_LOCAL_CONFIRMS);
}

uint32_t __stdcall RouterSecondStub(uint32_t value)
{
    return 0;
}
