/* The registration records that live in the board heap (shared layout). */
#ifndef BOARD_RECORDS_H
#define BOARD_RECORDS_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#define RECORD_MAGIC 0xDEF2C98Cu

enum { KIND_EVENT = 1, KIND_DLL = 2, KIND_SERVER = 3 };

/* callback, thread and stopEvent mean something only in the registering process. */
typedef struct EventCallbackRecord {
    uint32_t magic;
    uint32_t reserved;
    uint32_t kind;
    uint32_t flags; /* bit 0: callbacks suspended */
    uint32_t callback;
    uint32_t thread;
    uint32_t stopEvent;
    uint32_t next;
    uint32_t prev;
    uint32_t processId;
} EventCallbackRecord;

typedef struct VelkDllRecord {
    uint32_t magic;
    uint32_t reserved;
    uint32_t kind;
    uint32_t reserved12;
    uint32_t next;
    uint32_t prev;
    uint32_t processId;
    uint32_t lastReport;
} VelkDllRecord;

typedef struct VelkServerRecord {
    uint32_t magic;
    uint32_t reserved;
    uint32_t kind;
    uint32_t reserved12;
    uint32_t callback;
    uint32_t thread;
    uint32_t stopEvent;
    uint32_t next;
    uint32_t prev;
    uint32_t processId;
    uint32_t lastStatus;
} VelkServerRecord;

#define EVENT_SUSPENDED 1u

static_assert(sizeof(EventCallbackRecord) == 40, "EventCallbackRecord");
static_assert(offsetof(EventCallbackRecord, next) == 28, "EventCallbackRecord.next");
static_assert(offsetof(EventCallbackRecord, processId) == 36, "EventCallbackRecord.processId");
static_assert(sizeof(VelkDllRecord) == 32, "VelkDllRecord");
static_assert(offsetof(VelkDllRecord, next) == 16, "VelkDllRecord.next");
static_assert(offsetof(VelkDllRecord, lastReport) == 28, "VelkDllRecord.lastReport");
static_assert(sizeof(VelkServerRecord) == 44, "VelkServerRecord");
static_assert(offsetof(VelkServerRecord, next) == 28, "VelkServerRecord.next");
static_assert(offsetof(VelkServerRecord, lastStatus) == 40, "VelkServerRecord.lastStatus");

#endif
