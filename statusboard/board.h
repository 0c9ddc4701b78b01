/* The machine-wide status board: its named objects, its shared layout, and the
 * global lock that every board operation of every process takes. */
#ifndef BOARD_H
#define BOARD_H

#include <windows.h>

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#define BOARD_MAPPING_NAME "VELK_MAPPING_FILE"
#define BOARD_GLOBAL_LOCK_NAME "VELK_GLOBAL_LOCK"
#define BOARD_HEAP_MUTEX_NAME "VELK_HEAP_MUTEX"
#define BOARD_COMMON_EVENT_NAME "VELK_COMMON_EVENT"

#define BOARD_HEADER_SIZE 56u
#define BOARD_HEAP_SIZE 0x80000u
#define BOARD_SIZE (BOARD_HEADER_SIZE + BOARD_HEAP_SIZE)

/* Shared by every process that maps the board; all links are heap offsets. */
typedef struct BoardHeader {
    uint32_t attachCount;
    uint32_t serverStatus;
    uint32_t serverActivity;
    uint32_t activityTotal;
    uint32_t remoteAccessRequest; /* read and cleared by server threads without the lock */
    uint32_t eventListHead;
    uint32_t eventListTail;
    uint32_t dllListHead;
    uint32_t dllListTail;
    uint32_t serverListHead;
    uint32_t serverListTail;
    uint32_t serverCount;
    uint32_t slAnswered;
    uint32_t probeNeeded;
} BoardHeader;

static_assert(sizeof(BoardHeader) == BOARD_HEADER_SIZE, "BoardHeader");
static_assert(offsetof(BoardHeader, remoteAccessRequest) == 16, "remoteAccessRequest");
static_assert(offsetof(BoardHeader, serverCount) == 44, "serverCount");
static_assert(offsetof(BoardHeader, probeNeeded) == 52, "probeNeeded");

/* This process's view of the board (null until attached). */
extern BoardHeader *g_board;
extern unsigned char *g_heap;
extern HANDLE g_commonEvent;

/* The thread-local lock flag and the objects' security; made before the attach. */
int BoardProcessInit(void);
void BoardProcessRelease(void);
void BoardThreadAttach(void);

/* Creates or opens the named objects and maps the board; the first process on
 * the machine lays it out. 0 makes the library's load fail. */
int BoardAttach(void);
void BoardDetach(void);

/* The global lock, non-counting per thread: 1 if this thread held it already. */
int LockBoard(void);
void UnlockBoard(void);

#endif
