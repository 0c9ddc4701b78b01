#include "tracking_lists.h"

/* The pending list and the handle map are private to the process and never held
 * by a thread that could be terminated: critical sections suffice. The module
 * list is held across ClientInit by a worker that a cancel may terminate, so it
 * is a kernel mutex, which passes on to the next waiter when its owner dies. */
static CRITICAL_SECTION g_pendingLock, g_mapLock;
static BOOL g_locksReady;
static HANDLE g_moduleMutex;
static PendingCommand *g_pendingHead, *g_pendingTail;
static HandleMapEntry *g_mapHead, *g_mapTail;
static TransportModule *g_moduleHead, *g_moduleTail;

/* Appends to a doubly linked list of any of the three entry kinds. */
#define LIST_APPEND(head, tail, entry) \
    do {                               \
        (entry)->next = NULL;          \
        (entry)->prev = (tail);        \
        if (tail)                      \
            (tail)->next = (entry);    \
        else                           \
            (head) = (entry);          \
        (tail) = (entry);              \
    } while (0)

/* Skips the entry; its own links are left as they were. */
#define LIST_UNLINK(head, tail, entry)        \
    do {                                      \
        if ((entry)->prev)                    \
            (entry)->prev->next = (entry)->next; \
        else                                  \
            (head) = (entry)->next;           \
        if ((entry)->next)                    \
            (entry)->next->prev = (entry)->prev; \
        else                                  \
            (tail) = (entry)->prev;           \
    } while (0)

static void *AllocateZeroed(size_t size)
{
    void *p = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

BOOL InitTrackingLists(void)
{
    g_pendingHead = g_pendingTail = NULL;
    g_mapHead = g_mapTail = NULL;
    g_moduleHead = g_moduleTail = NULL;
    InitializeCriticalSection(&g_pendingLock);
    InitializeCriticalSection(&g_mapLock);
    g_locksReady = TRUE;
    g_moduleMutex = CreateMutexA(NULL, FALSE, NULL);
    return g_moduleMutex != NULL;
}

void FreeTrackingLists(void)
{
    if (g_locksReady) {
        EnterCriticalSection(&g_pendingLock);
        for (PendingCommand *pc = g_pendingHead, *next; pc; pc = next) {
            next = pc->next;
            HeapFree(GetProcessHeap(), 0, pc->reservedEntry);
            HeapFree(GetProcessHeap(), 0, pc);
        }
        g_pendingHead = g_pendingTail = NULL;
        LeaveCriticalSection(&g_pendingLock);
        DeleteCriticalSection(&g_pendingLock);

        EnterCriticalSection(&g_mapLock);
        for (HandleMapEntry *e = g_mapHead, *next; e; e = next) {
            next = e->next;
            HeapFree(GetProcessHeap(), 0, e);
        }
        g_mapHead = g_mapTail = NULL;
        LeaveCriticalSection(&g_mapLock);
        DeleteCriticalSection(&g_mapLock);
        g_locksReady = FALSE;
    }
    if (g_moduleMutex) {
        WaitForSingleObject(g_moduleMutex, INFINITE);
        for (TransportModule *m = g_moduleHead, *next; m; m = next) {
            next = m->next;
            FreeLibrary(m->library);
            HeapFree(GetProcessHeap(), 0, m);
        }
        g_moduleHead = g_moduleTail = NULL;
        ReleaseMutex(g_moduleMutex);
        CloseHandle(g_moduleMutex);
        g_moduleMutex = NULL;
    }
}

PendingCommand *CreatePending(DmiCommandBlock *block)
{
    PendingCommand *pc = AllocateZeroed(sizeof *pc);
    if (!pc)
        return NULL;
    pc->block = block;
    EnterCriticalSection(&g_pendingLock);
    LIST_APPEND(g_pendingHead, g_pendingTail, pc);
    LeaveCriticalSection(&g_pendingLock);
    return pc;
}

void UnlinkPending(PendingCommand *pc)
{
    EnterCriticalSection(&g_pendingLock);
    LIST_UNLINK(g_pendingHead, g_pendingTail, pc);
    LeaveCriticalSection(&g_pendingLock);
}

BOOL ClaimPending(const void *address, const DmiCommandBlock *block)
{
    PendingCommand *found = NULL;
    EnterCriticalSection(&g_pendingLock);
    for (PendingCommand *pc = g_pendingHead; pc && !found; pc = pc->next)
        if (pc == address && pc->block == block)
            found = pc;
    if (found)
        LIST_UNLINK(g_pendingHead, g_pendingTail, found);
    LeaveCriticalSection(&g_pendingLock);
    return found != NULL;
}

PendingCommand *FindCancellable(uint32_t context)
{
    PendingCommand *found = NULL;
    EnterCriticalSection(&g_pendingLock);
    for (PendingCommand *pc = g_pendingHead; pc && !found; pc = pc->next)
        if (pc->cancelEvent && pc->savedContext == context)
            found = pc;
    LeaveCriticalSection(&g_pendingLock);
    return found;
}

void FreePending(PendingCommand *pc)
{
    HeapFree(GetProcessHeap(), 0, pc->reservedEntry);
    HeapFree(GetProcessHeap(), 0, pc);
}

HandleMapEntry *AllocateMapEntry(uint32_t realHandle)
{
    HandleMapEntry *e = AllocateZeroed(sizeof *e);
    if (e) {
        e->self = e;
        e->realHandle = realHandle;
        e->alive = 1;
    }
    return e;
}

void AppendMapEntry(HandleMapEntry *entry)
{
    EnterCriticalSection(&g_mapLock);
    LIST_APPEND(g_mapHead, g_mapTail, entry);
    LeaveCriticalSection(&g_mapLock);
}

BOOL LookUpHandle(uint32_t handle, HandleMapEntry *copy)
{
    BOOL found = FALSE;
    EnterCriticalSection(&g_mapLock);
    /* Compared by value only: a handle is never followed until it is found here. */
    for (HandleMapEntry *e = g_mapHead; e && !found; e = e->next)
        if ((uint32_t)e->self == handle && e->realHandle != 0) {
            *copy = *e;
            found = TRUE;
        }
    LeaveCriticalSection(&g_mapLock);
    return found;
}

BOOL UnlinkMapEntry(HandleMapEntry *entry, BOOL release)
{
    BOOL listed = FALSE;
    EnterCriticalSection(&g_mapLock);
    for (HandleMapEntry *e = g_mapHead; e && !listed; e = e->next)
        listed = e == entry;
    if (listed)
        LIST_UNLINK(g_mapHead, g_mapTail, entry);
    LeaveCriticalSection(&g_mapLock);
    if (listed && release && entry->connection && entry->releaseFn)
        entry->releaseFn(entry->connection);
    return listed;
}

void FreeMapEntry(HandleMapEntry *entry)
{
    HeapFree(GetProcessHeap(), 0, entry);
}
