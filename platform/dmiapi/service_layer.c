/* The service layer's registrations, command handling and confirmation workers. */
#include <windows.h>

#include <string.h>

#include "component_commands.h"
#include "component_database.h"
#include "dmi_string.h"
#include "dmiapi.h"

typedef struct Knobs {
    DWORD refuseRegistration;
    DWORD neverConfirm;
    DWORD confirmInCall;
    DWORD refuseUnregistration;
    DWORD confirmDelay;
    DWORD failRegistration;
    DWORD invokeDelay;
} Knobs;

typedef struct Registration {
    uint32_t handle;
    DmiConfirmCallback confirm;
    DmiSecondCallback second;
    Knobs knobs;
    struct Registration *next;
} Registration;

/* One confirmation owed to a caller. */
typedef struct Work {
    DmiCommandBlock *block;
    DmiConfirmCallback confirm;
    uint32_t handle;      /* the handle the command belongs to, for 258 */
    uint32_t newHandle;   /* registration: the handle its confirmation delivers */
    uint32_t status;
    uint32_t returnedCount;
    DWORD delay;
    struct Work *next;
} Work;

enum { MAX_WORKERS = 2, WORKER_IDLE_MS = 1000 };

static CRITICAL_SECTION g_lock;
static CONDITION_VARIABLE g_workReady;
static Registration *g_registrations;
static Work *g_queueHead, *g_queueTail;
static int g_workers, g_idleWorkers;
static uint32_t g_lastHandle = 0x00D10000u;

static void *Allocate(size_t size)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

static void Release(void *p)
{
    HeapFree(GetProcessHeap(), 0, p);
}

static void ReadKnobs(Knobs *knobs)
{
    static const char *const names[] = {"RefuseRegistration", "NeverConfirm",  "ConfirmInCall",
                                        "RefuseUnregistration", "ConfirmDelay", "FailRegistration",
                                        "InvokeDelay"};
    DWORD *values = &knobs->refuseRegistration;
    HKEY key;
    memset(knobs, 0, sizeof *knobs);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, DMIAPI_KNOBS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (int i = 0; i < (int)(sizeof names / sizeof names[0]); i++) {
        DWORD type, size = sizeof(DWORD), value;
        if (RegQueryValueExA(key, names[i], NULL, &type, (BYTE *)&value, &size) == ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof(DWORD))
            values[i] = value;
    }
    RegCloseKey(key);
}

/* Fills a registration's response: the two description strings where they fit,
 * and the new handle at +8. */
static void FillRegistrationResponse(DmiCommandBlock *block, uint32_t handle)
{
    unsigned char *response = block->response;
    uint32_t size = block->responseSize;
    uint32_t words[2] = {0, 0};
    uint32_t at = DMI_REGISTRATION_RESPONSE_MIN;
    uint32_t next = DmiStringPut(response, size, at, DMIAPI_SPECIFICATION_LEVEL,
                                 sizeof DMIAPI_SPECIFICATION_LEVEL - 1);
    if (next) {
        words[0] = at;
        at = next;
        if (DmiStringPut(response, size, at, DMIAPI_DESCRIPTION, sizeof DMIAPI_DESCRIPTION - 1))
            words[1] = at;
    }
    memcpy(response, words, sizeof words);
    memcpy(response + DMI_RESPONSE_HANDLE_OFFSET, &handle, 4);
}

static void Complete(Work *work)
{
    DmiCommandBlock *block = work->block;
    if (work->delay)
        Sleep(work->delay);
    if (block->command == DMI_CMD_REGISTER)
        FillRegistrationResponse(block, work->newHandle);
    block->returnedCount = work->returnedCount;
    block->completionStatus = work->status;
    DmiConfirmCallback confirm = work->confirm;
    Release(work);
    confirm(block);
}

static DWORD WINAPI ConfirmationWorker(void *module)
{
    EnterCriticalSection(&g_lock);
    for (;;) {
        while (!g_queueHead) {
            g_idleWorkers++;
            BOOL woken = SleepConditionVariableCS(&g_workReady, &g_lock, WORKER_IDLE_MS);
            g_idleWorkers--;
            if (!woken && !g_queueHead) {
                g_workers--;
                LeaveCriticalSection(&g_lock);
                /* The thread holds a reference on this library until its last instruction. */
                FreeLibraryAndExitThread(module, 0);
            }
        }
        Work *work = g_queueHead;
        g_queueHead = work->next;
        if (!g_queueHead)
            g_queueTail = NULL;
        LeaveCriticalSection(&g_lock);
        Complete(work);
        EnterCriticalSection(&g_lock);
    }
}

/* Under g_lock: a new worker when every running one is busy. */
static void StartWorkerIfNeeded(void)
{
    HMODULE self;
    if (g_idleWorkers > 0 || g_workers >= MAX_WORKERS)
        return;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)StartWorkerIfNeeded, &self))
        return;
    HANDLE thread = CreateThread(NULL, 0, ConfirmationWorker, self, 0, NULL);
    if (!thread) {
        FreeLibrary(self);
        return;
    }
    CloseHandle(thread);
    g_workers++;
}

/* Owes one confirmation for `block`, as the registration's knobs say. */
static uint32_t Confirm(const Registration *reg, DmiCommandBlock *block, uint32_t newHandle, uint32_t status,
                        uint32_t returnedCount)
{
    if (reg->knobs.neverConfirm)
        return 0;
    Work *work = Allocate(sizeof *work);
    if (!work)
        return DMIAPI_ERR_NO_MEMORY;
    work->block = block;
    work->confirm = reg->confirm;
    work->handle = reg->handle;
    work->newHandle = newHandle;
    work->status = status;
    work->returnedCount = returnedCount;
    work->delay = reg->knobs.confirmDelay;
    if (reg->knobs.confirmInCall) {
        Complete(work);
        return 0;
    }
    EnterCriticalSection(&g_lock);
    if (g_queueTail)
        g_queueTail->next = work;
    else
        g_queueHead = work;
    g_queueTail = work;
    StartWorkerIfNeeded();
    LeaveCriticalSection(&g_lock);
    WakeConditionVariable(&g_workReady);
    return 0;
}

/* Under g_lock. */
static Registration **FindRegistration(uint32_t handle)
{
    Registration **link = &g_registrations;
    while (*link && (*link)->handle != handle)
        link = &(*link)->next;
    return link;
}

/* A registration that fails on completion: confirmed at once with the knob's
 * status and no handle. */
static uint32_t FailRegistration(const Knobs *knobs, DmiCommandBlock *block)
{
    Work *work = Allocate(sizeof *work);
    if (!work)
        return DMIAPI_ERR_NO_MEMORY;
    work->block = block;
    work->confirm = block->confirmCallback;
    work->status = knobs->failRegistration;
    work->delay = knobs->confirmDelay;
    Complete(work);
    return 0;
}

static uint32_t Register(DmiCommandBlock *block)
{
    if (block->blockLength < DMI_REGISTRATION_BLOCK_SIZE || !block->confirmCallback || !block->response ||
        block->responseSize < DMI_REGISTRATION_RESPONSE_MIN)
        return DMIAPI_ERR_BAD_BLOCK;
    Knobs knobs;
    ReadKnobs(&knobs);
    if (knobs.refuseRegistration)
        return knobs.refuseRegistration;
    if (knobs.failRegistration)
        return FailRegistration(&knobs, block);
    Registration *reg = Allocate(sizeof *reg);
    if (!reg)
        return DMIAPI_ERR_NO_MEMORY;
    reg->confirm = block->confirmCallback;
    reg->second = block->secondCallback;
    reg->knobs = knobs;
    EnterCriticalSection(&g_lock);
    reg->handle = ++g_lastHandle;
    reg->next = g_registrations;
    g_registrations = reg;
    LeaveCriticalSection(&g_lock);
    Registration snapshot = *reg;
    return Confirm(&snapshot, block, snapshot.handle, 0, 0);
}

/* Under g_lock: commands of `handle` still waiting end as cancelled. */
static void CancelQueued(uint32_t handle)
{
    for (Work *w = g_queueHead; w; w = w->next)
        if (w->handle == handle && w->block->command != DMI_CMD_CANCEL && w->block->command != DMI_CMD_REGISTER) {
            w->status = DMIAPI_STATUS_CANCELLED;
            w->returnedCount = 0;
        }
}

/* A copy of the registration a handle names, taken under the lock. */
static BOOL SnapshotRegistration(uint32_t handle, Registration *copy)
{
    EnterCriticalSection(&g_lock);
    Registration *reg = *FindRegistration(handle);
    if (reg)
        *copy = *reg;
    LeaveCriticalSection(&g_lock);
    return reg != NULL;
}

static uint32_t CommandOnHandle(DmiCommandBlock *block)
{
    Registration snapshot;
    if (!SnapshotRegistration(block->handle, &snapshot))
        return DMIAPI_ERR_UNKNOWN_HANDLE;
    if (snapshot.knobs.invokeDelay)
        Sleep(snapshot.knobs.invokeDelay);

    EnterCriticalSection(&g_lock);
    Registration **link = FindRegistration(block->handle);
    Registration *reg = *link;
    if (!reg) {
        LeaveCriticalSection(&g_lock);
        return DMIAPI_ERR_UNKNOWN_HANDLE; /* ended while this call waited */
    }
    if (block->command == DMI_CMD_UNREGISTER) {
        if (reg->knobs.refuseUnregistration) {
            LeaveCriticalSection(&g_lock);
            return reg->knobs.refuseUnregistration;
        }
        *link = reg->next;
        Release(reg);
    } else if (block->command == DMI_CMD_CANCEL) {
        CancelQueued(snapshot.handle);
    }
    LeaveCriticalSection(&g_lock);
    uint32_t status = 0, count = 0;
    if (block->command == DMI_CMD_CANCEL) {
        CancelInstrumentation();
    } else if (IsComponentCommand(block->command)) {
        uint32_t refused = CarryOutComponentCommand(block, &status, &count);
        if (refused)
            return refused;
    }
    return Confirm(&snapshot, block, 0, status, count);
}

uint32_t __stdcall DmiInvoke(DmiCommandBlock *block)
{
    if (!block || block->signature != DMI_SIGNATURE || block->blockLength < offsetof(DmiCommandBlock, confirmCallback))
        return DMIAPI_ERR_BAD_BLOCK;
    switch (block->command) {
    case DMI_CMD_REGISTER:
        return Register(block);
    case DMI_CMD_UNTRACKED_1026:
    case DMI_CMD_UNTRACKED_1027:
        /* Requests without a management handle: complete at once, no confirmation. */
        if (block->handle != 0)
            return DMIAPI_ERR_BAD_BLOCK;
        block->returnedCount = 0;
        block->completionStatus = 0;
        return 0;
    default:
        return CommandOnHandle(block);
    }
}

uint32_t __stdcall DmiInstall(uint32_t operation, uint32_t arg1, uint32_t arg2, uint32_t arg3, uint32_t arg4)
{
    if (operation == DMIAPI_INSTALL_DESCRIBE && arg3 == 0 && arg4 == 0) {
        char *buffer = (char *)arg1;
        if (!buffer || arg2 < sizeof DMIAPI_DESCRIPTION)
            return DMIAPI_ERR_BAD_BLOCK;
        memcpy(buffer, DMIAPI_DESCRIPTION, sizeof DMIAPI_DESCRIPTION);
        return 0;
    }
    if (operation == DMIAPI_INSTALL_COMPONENT) {
        uint32_t id = 0, line = 0, result;
        if (!arg1 || !arg3)
            return DMIAPI_ERR_BAD_DESCRIPTION;
        result = InstallComponent((const char *)arg1, arg2, &id, &line);
        *(uint32_t *)arg3 = id;
        if (arg4)
            *(uint32_t *)arg4 = line;
        return result;
    }
    if (operation == DMIAPI_REMOVE_COMPONENT && arg2 == 0 && arg3 == 0 && arg4 == 0)
        return RemoveComponent(arg1);
    return DMIAPI_ERR_UNSUPPORTED;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&g_lock);
        InitializeConditionVariable(&g_workReady);
        ComponentCommandsAttach();
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        /* Unloaded while the process lives on: no worker runs (each holds a reference). */
        while (g_registrations) {
            Registration *next = g_registrations->next;
            Release(g_registrations);
            g_registrations = next;
        }
        DeleteCriticalSection(&g_lock);
        ComponentCommandsDetach();
    }
    return TRUE;
}
