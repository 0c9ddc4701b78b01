/* Board heap algorithms. The caller holds the board's global lock; heapLock
 * additionally guards the header and the chain. */
#include "board_heap.h"

static HANDLE g_heapLock;
static int g_checkFlag;

static uint32_t *Word(const void *heap, uint32_t offset)
{
    return (uint32_t *)((unsigned char *)heap + offset);
}

#define SIZE(heap, block) (*Word(heap, block))
#define NEXT(heap, block) (*Word(heap, (block) + 4))

static void LockHeap(void)
{
    /* An owner that died holding the mutex leaves it abandoned: still ours now. */
    if (g_heapLock)
        WaitForSingleObject(g_heapLock, INFINITE);
}

static void UnlockHeap(void)
{
    if (g_heapLock)
        ReleaseMutex(g_heapLock);
}

/* A free-list entry that can be read without leaving the heap. */
static int FreeEntryInside(const HeapHeader *h, uint32_t block)
{
    return block >= BOARD_HEAP_FIRST_BLOCK && block <= h->heapSize - BOARD_HEAP_MIN_BLOCK;
}

int InitBoardHeap(uint32_t size, void *heap, HANDLE heapMutex, int checkFlag)
{
    if (size < 32 || !heap)
        return 0;
    size &= ~1u; /* block sizes are even */
    g_heapLock = heapMutex;
    LockHeap();
    g_checkFlag = checkFlag;
    HeapHeader *h = heap;
    if (h->signature1 != BOARD_HEAP_SIGNATURE1 || h->signature2 != BOARD_HEAP_SIGNATURE2) {
        h->signature1 = BOARD_HEAP_SIGNATURE1;
        h->signature2 = BOARD_HEAP_SIGNATURE2;
        h->heapSize = size;
        h->firstFree = BOARD_HEAP_FIRST_BLOCK;
        h->rover = 0;
        h->freeBytes = size - BOARD_HEAP_FIRST_BLOCK;
        SIZE(heap, BOARD_HEAP_FIRST_BLOCK) = size - BOARD_HEAP_FIRST_BLOCK;
        NEXT(heap, BOARD_HEAP_FIRST_BLOCK) = 0;
    }
    UnlockHeap();
    return 1;
}

uint32_t AllocBoardBlock(uint32_t n, void *heap)
{
    if (n == 0 || !heap)
        return 0;
    if (g_checkFlag && !CheckBoardHeap(heap))
        return 0;
    HeapHeader *h = heap;
    uint32_t result = 0;
    LockHeap();
    if (n > h->heapSize)
        goto done;
    uint32_t need = (n + 5) & ~1u;
    if (need < BOARD_HEAP_MIN_BLOCK)
        need = BOARD_HEAP_MIN_BLOCK; /* must still make a free block when it comes back */

    /* Next fit: from the rover to the end of the list, then from its head back
     * to the rover. The step bound ends the walk on a list that never returns. */
    uint32_t start = h->rover ? h->rover : h->firstFree;
    uint32_t chosen = 0, cur = start;
    uint32_t steps = h->heapSize / BOARD_HEAP_MIN_BLOCK + 1;
    while (cur && FreeEntryInside(h, cur) && steps--) {
        if (SIZE(heap, cur) >= need) {
            chosen = cur;
            break;
        }
        cur = NEXT(heap, cur) ? NEXT(heap, cur) : h->firstFree;
        if (cur == start)
            break;
    }
    if (!chosen)
        goto done;

    uint32_t pred = 0, p = h->firstFree;
    while (p && p < chosen) {
        pred = p;
        p = NEXT(heap, p);
    }
    if (p != chosen)
        goto done; /* the rover named no block of the list */

    uint32_t size = SIZE(heap, chosen), replacing;
    if (size - need >= BOARD_HEAP_MIN_BLOCK) {
        replacing = chosen + need;
        SIZE(heap, replacing) = size - need;
        NEXT(heap, replacing) = NEXT(heap, chosen);
        SIZE(heap, chosen) = need;
    } else {
        replacing = NEXT(heap, chosen);
    }
    if (pred)
        NEXT(heap, pred) = replacing;
    else
        h->firstFree = replacing;
    h->rover = replacing ? NEXT(heap, replacing) : 0;
    h->freeBytes -= SIZE(heap, chosen);
    result = chosen + 4;
done:
    UnlockHeap();
    return result;
}

void *AllocBoardBlockAddress(uint32_t n, void *heap)
{
    uint32_t offset = AllocBoardBlock(n, heap);
    return offset ? (unsigned char *)heap + offset : NULL;
}

int FreeBoardBlock(uint32_t payloadOffset, void *heap)
{
    if (!heap || payloadOffset < BOARD_HEAP_FIRST_PAYLOAD)
        return 0;
    HeapHeader *h = heap;
    /* The block must hold its size and a link inside the heap. */
    if (payloadOffset > h->heapSize - 4)
        return 0;
    uint32_t q = payloadOffset - 4, c = SIZE(heap, q);
    if (c < BOARD_HEAP_MIN_BLOCK || (c & 1) || c > h->heapSize - q)
        return 0;

    LockHeap();
    /* s: first free block above q; p: the free block before s. */
    uint32_t p = 0, s = h->firstFree;
    uint32_t steps = h->heapSize / BOARD_HEAP_MIN_BLOCK + 1;
    while (s && s < q && steps--) {
        uint32_t next = NEXT(heap, s);
        if (next && next <= s)
            break; /* not ascending: refused below */
        p = s;
        s = next;
    }
    int refused = (s && s < q) || (s && (s == q || c > s - q)) || (p && SIZE(heap, p) > q - p);
    if (refused) {
        UnlockHeap();
        return 0;
    }

    h->freeBytes += c;
    if (!h->firstFree) {
        h->firstFree = q;
        NEXT(heap, q) = 0;
    } else if (s) {
        if (q + c == s) {
            SIZE(heap, q) = c + SIZE(heap, s);
            NEXT(heap, q) = NEXT(heap, s);
            if (h->rover == s)
                h->rover = 0;
        } else {
            NEXT(heap, q) = s;
        }
        if (p && p + SIZE(heap, p) == q) {
            SIZE(heap, p) += SIZE(heap, q);
            NEXT(heap, p) = NEXT(heap, q);
        } else if (p) {
            NEXT(heap, p) = q;
        } else {
            h->firstFree = q;
        }
    } else if (p + SIZE(heap, p) == q) {
        SIZE(heap, p) += c;
    } else {
        NEXT(heap, p) = q;
        NEXT(heap, q) = 0;
    }
    UnlockHeap();
    return 1;
}

int FreeBoardBlockAddress(void *payload, void *heap)
{
    if (!payload || !heap || (unsigned char *)payload < (unsigned char *)heap)
        return 0;
    return FreeBoardBlock((uint32_t)((unsigned char *)payload - (unsigned char *)heap), heap);
}

int CheckBoardHeap(const void *heap)
{
    if (!heap)
        return 0;
    const HeapHeader *h = heap;
    uint32_t end = h->heapSize, cur = BOARD_HEAP_FIRST_BLOCK, expected = h->firstFree;
    while (cur < end) {
        if (end - cur < BOARD_HEAP_MIN_BLOCK)
            return 0;
        if (expected) {
            if (cur > expected)
                return 0; /* a free entry off a block boundary, or out of order */
            if (cur == expected)
                expected = NEXT(heap, cur);
        }
        uint32_t size = SIZE(heap, cur);
        /* A block that is too small or runs past the end would stall the walk
         * or send allocations outside the heap. */
        if (size < BOARD_HEAP_MIN_BLOCK || (size & 1) || size > end - cur)
            return 0;
        cur += size;
    }
    return expected == 0;
}
