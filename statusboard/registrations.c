/* The board's exports: registrations, the status word, notifications, and the
 * library's loader notifications. */
#include <windows.h>

#include <string.h>

#include "board.h"
#include "board_heap.h"
#include "board_records.h"
#include "probe.h"
#include "velkcomm.h"

enum { ERROR_NONE = 0 };

static HMODULE g_module;

/* One of the three lists: its anchors in the header and where its records keep
 * their links. */
typedef struct BoardList {
    uint32_t kind;
    uint32_t *head, *tail;
    uint32_t nextAt, prevAt;
} BoardList;

static BoardList ListOf(uint32_t kind)
{
    BoardList list = {kind, NULL, NULL, 0, 0};
    switch (kind) {
    case KIND_EVENT:
        list = (BoardList){kind, &g_board->eventListHead, &g_board->eventListTail,
                           offsetof(EventCallbackRecord, next), offsetof(EventCallbackRecord, prev)};
        break;
    case KIND_DLL:
        list = (BoardList){kind, &g_board->dllListHead, &g_board->dllListTail,
                           offsetof(VelkDllRecord, next), offsetof(VelkDllRecord, prev)};
        break;
    case KIND_SERVER:
        list = (BoardList){kind, &g_board->serverListHead, &g_board->serverListTail,
                           offsetof(VelkServerRecord, next), offsetof(VelkServerRecord, prev)};
        break;
    }
    return list;
}

static uint32_t *Field(uint32_t record, uint32_t at)
{
    return (uint32_t *)(g_heap + record + at);
}

static uint32_t RecordSize(uint32_t kind)
{
    return kind == KIND_EVENT ? sizeof(EventCallbackRecord)
         : kind == KIND_DLL   ? sizeof(VelkDllRecord)
                              : sizeof(VelkServerRecord);
}

/* Under the lock: the handle names a live record of this kind. */
static int IsRecord(uint32_t handle, uint32_t kind)
{
    if (handle < BOARD_HEAP_FIRST_PAYLOAD || handle > BOARD_HEAP_SIZE - RecordSize(kind))
        return 0;
    return *Field(handle, 0) == RECORD_MAGIC && *Field(handle, offsetof(VelkDllRecord, kind)) == kind;
}

/* Takes the lock and keeps it when the handle names a record of this kind. */
static int LookupRecord(uint32_t handle, uint32_t kind)
{
    if (handle == 0 || handle >= BOARD_HEAP_SIZE || !g_board)
        return 0;
    int held = LockBoard();
    if (IsRecord(handle, kind))
        return 1;
    if (!held)
        UnlockBoard();
    return 0;
}

/* Every process may write the board: links are followed, and written through,
 * only where they name a record of the list's kind, so that a damaged board is
 * never written outside the heap. */
static int Linked(uint32_t record, uint32_t kind)
{
    return record && IsRecord(record, kind);
}

static void Append(const BoardList *list, uint32_t record)
{
    if (!Linked(*list->tail, list->kind)) {
        *list->head = *list->tail = record;
        return;
    }
    *Field(record, list->prevAt) = *list->tail;
    *Field(*list->tail, list->nextAt) = record;
    *list->tail = record;
}

/* Also clears the magic: a record on its way out is no longer found by lookups,
 * so a second unregistration cannot unlink or free it again. */
static void Unlink(const BoardList *list, uint32_t record)
{
    uint32_t next = *Field(record, list->nextAt), prev = *Field(record, list->prevAt);
    if (!Linked(next, list->kind))
        next = 0;
    if (!Linked(prev, list->kind))
        prev = 0;
    if (next) {
        *Field(next, list->prevAt) = prev;
    } else {
        *list->tail = prev;
        if (prev)
            *Field(prev, list->nextAt) = 0;
    }
    if (prev) {
        *Field(prev, list->nextAt) = next;
    } else {
        *list->head = next;
        if (next)
            *Field(next, list->prevAt) = 0;
    }
    *Field(record, 0) = 0;
}

static void RefreshProbe(void)
{
    if (g_board->probeNeeded) {
        g_board->slAnswered = ProbeServiceLayer();
        if (g_board->slAnswered)
            g_board->probeNeeded = 0;
    }
}

static uint32_t StatusFlags(void)
{
    uint32_t total = g_board->activityTotal, activity = g_board->serverActivity;
    uint32_t flags = 0;
    if (ACTIVITY_LANE(total, ACTIVITY_REMOTE_INVOKES) || (activity & 0xFF00u))
        flags |= STATUS_REMOTE_INVOKE;
    if (ACTIVITY_LANE(total, ACTIVITY_REMOTE_CONFIRMS) || (activity & 0xFFu))
        flags |= STATUS_REMOTE_CALLBACK;
    if ((activity & 0xFFFFu) || (g_board->serverStatus & 0xFFu))
        flags |= STATUS_SERVER_ACTIVE;
    if (g_board->slAnswered)
        flags |= STATUS_SL_ALIVE;
    if (g_board->serverCount > 0)
        flags |= STATUS_SERVER_PRESENT;
    return flags;
}

static DWORD WINAPI EventNotifyThread(void *param)
{
    EventCallbackRecord *record = (EventCallbackRecord *)(g_heap + (uintptr_t)param);
    HANDLE waits[2] = {(HANDLE)(uintptr_t)record->stopEvent, g_commonEvent};
    EventCallback callback = (EventCallback)(uintptr_t)record->callback;
    /* Anything but a pulse ends the thread: a failed wait would only fail again. */
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        if ((*(volatile uint32_t *)&record->flags & EVENT_SUSPENDED) || !callback)
            continue;
        callback(GetStatus(0, NULL, NULL));
    }
    FreeLibraryAndExitThread(g_module, 0);
}

static DWORD WINAPI ServerNotifyThread(void *param)
{
    VelkServerRecord *record = (VelkServerRecord *)(g_heap + (uintptr_t)param);
    HANDLE waits[2] = {(HANDLE)(uintptr_t)record->stopEvent, g_commonEvent};
    ServerCallback callback = (ServerCallback)(uintptr_t)record->callback;
    volatile LONG *request = (volatile LONG *)&g_board->remoteAccessRequest;
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        LONG value = *request;
        if (!value || !callback)
            continue;
        callback((uint32_t)value);
        /* Clear only what was delivered: a request posted meanwhile stays pending. */
        InterlockedCompareExchange(request, 0, value);
    }
    FreeLibraryAndExitThread(g_module, 0);
}

static uint32_t Finish(uint32_t handle, DWORD error)
{
    UnlockBoard();
    SetLastError(error);
    return error ? BOARD_INVALID_HANDLE : handle;
}

/* Kinds 1 and 3: a record with a stop event and a notification thread. The
 * thread holds a reference on this library, so the library stays loaded while
 * it runs. */
static uint32_t RegisterNotified(uint32_t kind, void *callback)
{
    if (!g_board) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return BOARD_INVALID_HANDLE;
    }
    LockBoard();
    RefreshProbe();
    uint32_t size = RecordSize(kind);
    uint32_t handle = AllocBoardBlock(size, g_heap);
    if (!handle)
        return Finish(0, ERROR_NOT_ENOUGH_MEMORY);
    memset(g_heap + handle, 0, size);
    /* Same offsets in both kinds. */
    EventCallbackRecord *record = (EventCallbackRecord *)(g_heap + handle);
    record->magic = RECORD_MAGIC;
    record->kind = kind;
    record->callback = (uint32_t)(uintptr_t)callback;
    record->processId = GetCurrentProcessId();

    HANDLE stop = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE thread = NULL;
    HMODULE self;
    if (stop) {
        record->stopEvent = (uint32_t)(uintptr_t)stop;
        if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)RegisterNotified, &self)) {
            thread = CreateThread(NULL, 0, kind == KIND_EVENT ? EventNotifyThread : ServerNotifyThread,
                                  (void *)(uintptr_t)handle, 0, NULL);
            if (!thread)
                FreeLibrary(self);
        }
    }
    if (!thread) {
        if (stop)
            CloseHandle(stop);
        FreeBoardBlock(handle, g_heap);
        return Finish(0, ERROR_TOO_MANY_SESS); /* 69: no notification thread */
    }
    record->thread = (uint32_t)(uintptr_t)thread;
    BoardList list = ListOf(kind);
    Append(&list, handle);
    if (kind == KIND_SERVER) {
        g_board->serverCount++;
        PulseEvent(g_commonEvent);
    }
    return Finish(handle, ERROR_NONE);
}

/* Without the lock: a woken EventNotifyThread may be waiting for it in GetStatus. */
static void StopNotifyThread(uint32_t record, int wait)
{
    EventCallbackRecord *r = (EventCallbackRecord *)(g_heap + record);
    HANDLE thread = (HANDLE)(uintptr_t)r->thread, stop = (HANDLE)(uintptr_t)r->stopEvent;
    if (thread) {
        SetEvent(stop);
        if (wait)
            WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    if (stop)
        CloseHandle(stop);
}

/* Under the lock. */
static void ServerGone(void)
{
    if (g_board->serverCount && --g_board->serverCount == 0)
        g_board->probeNeeded = 1;
    PulseEvent(g_commonEvent);
}

static uint32_t UnregisterNotified(uint32_t handle, uint32_t kind)
{
    if (!LookupRecord(handle, kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    /* Only the registering process owns the thread and the event. */
    if (*Field(handle, offsetof(EventCallbackRecord, processId)) != GetCurrentProcessId()) {
        UnlockBoard();
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    BoardList list = ListOf(kind);
    Unlink(&list, handle);
    UnlockBoard();
    StopNotifyThread(handle, 1);
    LockBoard();
    FreeBoardBlock(handle, g_heap);
    if (kind == KIND_SERVER)
        ServerGone();
    UnlockBoard();
    SetLastError(ERROR_NONE);
    return 1;
}

uint32_t __stdcall RegisterEventCallback(EventCallback callback)
{
    return RegisterNotified(KIND_EVENT, (void *)callback);
}

uint32_t __stdcall UnregisterEventCallback(uint32_t handle)
{
    return UnregisterNotified(handle, KIND_EVENT);
}

uint32_t __stdcall RegisterVelkServer(ServerCallback callback)
{
    return RegisterNotified(KIND_SERVER, (void *)callback);
}

uint32_t __stdcall UnregisterVelkServer(uint32_t handle)
{
    return UnregisterNotified(handle, KIND_SERVER);
}

uint32_t __stdcall RegisterVelkDll(void)
{
    if (!g_board) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return BOARD_INVALID_HANDLE;
    }
    /* No probe here: routers register from their loader notification, where a
     * service layer that confirms on a thread of its own cannot start that
     * thread, and the probe would stall the load for its whole wait. */
    LockBoard();
    uint32_t handle = AllocBoardBlock(sizeof(VelkDllRecord), g_heap);
    if (!handle)
        return Finish(0, ERROR_NOT_ENOUGH_MEMORY);
    VelkDllRecord *record = (VelkDllRecord *)(g_heap + handle);
    memset(record, 0, sizeof *record);
    record->magic = RECORD_MAGIC;
    record->kind = KIND_DLL;
    record->processId = GetCurrentProcessId();
    BoardList list = ListOf(KIND_DLL);
    Append(&list, handle);
    return Finish(handle, ERROR_NONE);
}

uint32_t __stdcall UnregisterVelkDll(uint32_t handle)
{
    if (!LookupRecord(handle, KIND_DLL)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    BoardList list = ListOf(KIND_DLL);
    Unlink(&list, handle);
    FreeBoardBlock(handle, g_heap);
    UnlockBoard();
    SetLastError(ERROR_NONE);
    return 1;
}

uint32_t __stdcall ChangeStatus(uint32_t handle, uint32_t value, uint32_t extra)
{
    if (handle == 0 || handle >= BOARD_HEAP_SIZE || !g_board)
        return ERROR_INVALID_HANDLE;
    int held = LockBoard();
    if (IsRecord(handle, KIND_DLL)) {
        VelkDllRecord *record = (VelkDllRecord *)(g_heap + handle);
        uint32_t total = 0;
        for (int lane = 0; lane < 4; lane++) {
            uint32_t sum = ACTIVITY_LANE(g_board->activityTotal, lane) - ACTIVITY_LANE(record->lastReport, lane) +
                           ACTIVITY_LANE(value, lane);
            total |= (sum & 0xFFu) << (8 * lane);
        }
        g_board->activityTotal = total;
        record->lastReport = value;
    } else if (IsRecord(handle, KIND_SERVER)) {
        VelkServerRecord *record = (VelkServerRecord *)(g_heap + handle);
        g_board->serverStatus = value;
        record->lastStatus = value;
        g_board->serverActivity = extra;
    } else {
        if (!held)
            UnlockBoard();
        return ERROR_INVALID_HANDLE;
    }
    PulseEvent(g_commonEvent);
    UnlockBoard();
    return 0;
}

uint32_t __stdcall GetStatus(uint32_t reserved, uint32_t *activityTotal, uint32_t *serverStatus)
{
    if (!g_board)
        return 0;
    LockBoard();
    RefreshProbe();
    uint32_t flags = StatusFlags();
    if (activityTotal)
        *activityTotal = g_board->activityTotal;
    if (serverStatus)
        *serverStatus = g_board->serverStatus;
    UnlockBoard();
    return flags;
}

static void SetSuspended(uint32_t handle, int suspended)
{
    if (!LookupRecord(handle, KIND_EVENT))
        return;
    EventCallbackRecord *record = (EventCallbackRecord *)(g_heap + handle);
    if (suspended)
        record->flags |= EVENT_SUSPENDED;
    else
        record->flags &= ~EVENT_SUSPENDED;
    UnlockBoard();
}

uint32_t __stdcall SuspendCallbacks(uint32_t handle)
{
    SetSuspended(handle, 1);
    return 0;
}

uint32_t __stdcall ResumeCallbacks(uint32_t handle)
{
    SetSuspended(handle, 0);
    return 0;
}

uint32_t __stdcall SetRemoteAccess(uint32_t handle, uint32_t value)
{
    if (!LookupRecord(handle, KIND_EVENT))
        return 0;
    g_board->remoteAccessRequest = value | REMOTE_ACCESS_PENDING;
    PulseEvent(g_commonEvent);
    UnlockBoard();
    return 0;
}

/* Process detach: this process's records leave every list under the lock and
 * are chained privately through their own next links; their threads are
 * stopped without the lock; then they are freed under it again. At process exit
 * the other threads have already ended and are not waited for. */
static void RemoveProcessRecords(int waitForThreads)
{
    static const uint32_t kinds[3] = {KIND_EVENT, KIND_DLL, KIND_SERVER};
    uint32_t gone[3] = {0, 0, 0};
    DWORD self = GetCurrentProcessId();

    LockBoard();
    for (int k = 0; k < 3; k++) {
        BoardList list = ListOf(kinds[k]);
        uint32_t steps = BOARD_HEAP_SIZE / sizeof(VelkDllRecord);
        for (uint32_t record = *list.head; record && steps--;) {
            if (!IsRecord(record, kinds[k]))
                break; /* a damaged list: leave the rest alone */
            uint32_t next = *Field(record, list.nextAt);
            uint32_t owner = *Field(record, list.kind == KIND_DLL ? offsetof(VelkDllRecord, processId)
                                                                  : offsetof(EventCallbackRecord, processId));
            if (owner == self) {
                Unlink(&list, record);
                *Field(record, list.nextAt) = gone[k];
                gone[k] = record;
            }
            record = next;
        }
    }
    UnlockBoard();

    for (int k = 0; k < 3; k += 2) {
        BoardList list = ListOf(kinds[k]);
        for (uint32_t record = gone[k]; record; record = *Field(record, list.nextAt))
            StopNotifyThread(record, waitForThreads);
    }

    LockBoard();
    for (int k = 0; k < 3; k++) {
        BoardList list = ListOf(kinds[k]);
        for (uint32_t record = gone[k]; record;) {
            uint32_t next = *Field(record, list.nextAt);
            FreeBoardBlock(record, g_heap);
            if (kinds[k] == KIND_SERVER)
                ServerGone();
            record = next;
        }
    }
    UnlockBoard();
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void *reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        g_module = module;
        ProbeProcessInit();
        if (!BoardProcessInit())
            return FALSE;
        return BoardAttach();
    case DLL_THREAD_ATTACH:
        BoardThreadAttach();
        return TRUE;
    case DLL_PROCESS_DETACH:
        if (g_board)
            RemoveProcessRecords(reserved == NULL);
        BoardDetach();
        BoardProcessRelease();
        ProbeProcessRelease();
        return TRUE;
    }
    return TRUE;
}
