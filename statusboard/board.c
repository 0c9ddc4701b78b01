/* Board attach and detach, the board lock, and the security of the named objects. */
#include "board.h"

#include <string.h>

#include "board_heap.h"

BoardHeader *g_board;
unsigned char *g_heap;
HANDLE g_commonEvent;

static HANDLE g_mapping, g_globalLock, g_heapMutex;
static DWORD g_lockSlot = TLS_OUT_OF_INDEXES;
static SECURITY_DESCRIPTOR g_descriptor;
static SECURITY_ATTRIBUTES g_attributes;
static SECURITY_ATTRIBUTES *g_security; /* null: default security */

int BoardProcessInit(void)
{
    g_lockSlot = TlsAlloc();
    if (g_lockSlot == TLS_OUT_OF_INDEXES)
        return 0;
    /* A null DACL lets every account on the machine open the board's objects. */
    if (InitializeSecurityDescriptor(&g_descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&g_descriptor, TRUE, NULL, FALSE)) {
        g_attributes.nLength = sizeof g_attributes;
        g_attributes.lpSecurityDescriptor = &g_descriptor;
        g_attributes.bInheritHandle = TRUE;
        g_security = &g_attributes;
    }
    return 1;
}

void BoardProcessRelease(void)
{
    g_security = NULL;
    if (g_lockSlot != TLS_OUT_OF_INDEXES) {
        TlsFree(g_lockSlot);
        g_lockSlot = TLS_OUT_OF_INDEXES;
    }
}

void BoardThreadAttach(void)
{
    /* A new thread holds no board lock. */
    TlsSetValue(g_lockSlot, NULL);
}

int LockBoard(void)
{
    if ((uintptr_t)TlsGetValue(g_lockSlot) & 1)
        return 1;
    if (!g_globalLock)
        return 0;
    /* A process that died holding the lock leaves it abandoned: it is ours now. */
    DWORD wait = WaitForSingleObject(g_globalLock, INFINITE);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
        TlsSetValue(g_lockSlot, (void *)1);
    return 0;
}

void UnlockBoard(void)
{
    if (!((uintptr_t)TlsGetValue(g_lockSlot) & 1))
        return;
    TlsSetValue(g_lockSlot, NULL);
    ReleaseMutex(g_globalLock);
}

static void CloseBoardHandle(HANDLE *handle)
{
    if (*handle) {
        CloseHandle(*handle);
        *handle = NULL;
    }
}

static void CloseBoardHandles(void)
{
    CloseBoardHandle(&g_mapping);
    CloseBoardHandle(&g_globalLock);
    CloseBoardHandle(&g_commonEvent);
    CloseBoardHandle(&g_heapMutex);
}

int BoardAttach(void)
{
    g_commonEvent = CreateEventA(g_security, TRUE, FALSE, BOARD_COMMON_EVENT_NAME);
    if (!g_commonEvent)
        g_commonEvent = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, BOARD_COMMON_EVENT_NAME);
    if (!g_commonEvent)
        return 0;

    /* Without the lock the board would be run unlocked: refuse to attach. */
    g_globalLock = CreateMutexA(g_security, FALSE, BOARD_GLOBAL_LOCK_NAME);
    if (!g_globalLock) {
        CloseBoardHandles();
        return 0;
    }
    /* Held until the board is laid out, so that a process attaching at the same
     * moment finds it complete. */
    LockBoard();

    int first = 0;
    g_mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, g_security, PAGE_READWRITE, 0, BOARD_SIZE,
                                   BOARD_MAPPING_NAME);
    if (g_mapping)
        first = GetLastError() != ERROR_ALREADY_EXISTS;
    else
        g_mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, BOARD_MAPPING_NAME);
    void *view = g_mapping ? MapViewOfFile(g_mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, BOARD_SIZE) : NULL;
    if (view)
        g_heapMutex = CreateMutexA(g_security, FALSE, BOARD_HEAP_MUTEX_NAME);
    if (!view || !g_heapMutex) {
        if (view)
            UnmapViewOfFile(view);
        UnlockBoard();
        CloseBoardHandles();
        return 0;
    }

    BoardHeader *board = view;
    unsigned char *heap = (unsigned char *)view + BOARD_HEADER_SIZE;
    if (first) {
        memset(view, 0, BOARD_SIZE);
        board->attachCount = 1;
        InitBoardHeap(BOARD_HEAP_SIZE, heap, g_heapMutex, 1);
        board->slAnswered = 0;
        board->probeNeeded = 1;
    } else {
        const HeapHeader *h = (const HeapHeader *)heap;
        int adopted = h->signature1 == BOARD_HEAP_SIGNATURE1 && h->signature2 == BOARD_HEAP_SIGNATURE2;
        InitBoardHeap(BOARD_HEAP_SIZE, heap, g_heapMutex, 1);
        if (!adopted) {
            /* A heap laid out anew has lost every record: the lists must not
             * lead into it. */
            board->eventListHead = board->eventListTail = 0;
            board->dllListHead = board->dllListTail = 0;
            board->serverListHead = board->serverListTail = 0;
            board->serverCount = 0;
        }
        board->attachCount++;
    }
    g_board = board;
    g_heap = heap;
    UnlockBoard();
    return 1;
}

void BoardDetach(void)
{
    if (g_board) {
        LockBoard();
        g_board->attachCount--;
        UnlockBoard();
        UnmapViewOfFile(g_board);
        g_board = NULL;
        g_heap = NULL;
    }
    CloseBoardHandles();
}
