/* The board's sub-heap: next-fit allocation with a rover, address-ordered free
 * with coalescing, and a consistency walk. Every link is an offset from the
 * heap's start, so the heap works wherever a process maps it; a block's payload
 * offset is the handle the board hands out. */
#ifndef BOARD_HEAP_H
#define BOARD_HEAP_H

#include <windows.h>

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BOARD_HEAP_SIGNATURE1 0xA5A5A5A5u
#define BOARD_HEAP_SIGNATURE2 0x5A5A5A5Au
#define BOARD_HEAP_FIRST_BLOCK 24u   /* the chain starts behind the header */
#define BOARD_HEAP_FIRST_PAYLOAD 28u
#define BOARD_HEAP_MIN_BLOCK 8u      /* a free block holds its size and its link */

typedef struct HeapHeader {
    uint32_t signature1;
    uint32_t signature2;
    uint32_t heapSize;  /* bytes including this header */
    uint32_t firstFree; /* 0: no free block */
    uint32_t rover;     /* free block where the next search starts; 0: firstFree */
    uint32_t freeBytes;
} HeapHeader;

typedef struct HeapBlock {
    uint32_t blockSize; /* including this word; even */
    uint32_t nextFree;  /* free blocks only: next free block, 0 = last */
} HeapBlock;

static_assert(sizeof(HeapHeader) == BOARD_HEAP_FIRST_BLOCK, "HeapHeader");
static_assert(offsetof(HeapHeader, freeBytes) == 20, "freeBytes");
static_assert(sizeof(HeapBlock) == BOARD_HEAP_MIN_BLOCK, "HeapBlock");

/* Lays out an empty heap of `size` bytes at `heap` unless both signatures are
 * already there (then the heap is adopted as it is). Remembers, for this
 * process, the mutex that guards heap operations (may be null) and whether
 * every allocation checks the heap first. 0 if size < 32 or heap is null. */
int InitBoardHeap(uint32_t size, void *heap, HANDLE heapMutex, int checkFlag);

/* Payload offset of a block that holds n bytes, or 0 (n is 0, no heap, failed
 * check, or no free block large enough). */
uint32_t AllocBoardBlock(uint32_t n, void *heap);
void *AllocBoardBlockAddress(uint32_t n, void *heap);

/* Returns the block at a payload offset to the free list, merging it with free
 * neighbours. 0 (nothing changed) for an offset outside the heap, a block
 * whose size word does not fit the heap, or a block already free. */
int FreeBoardBlock(uint32_t payloadOffset, void *heap);
int FreeBoardBlockAddress(void *payload, void *heap);

/* 1 if the block chain and the free list agree. */
int CheckBoardHeap(const void *heap);

#ifdef __cplusplus
}
#endif

#endif
