/* The router's three process-wide lists: commands in flight, management
 * handles, and loaded transport libraries. */
#ifndef TRACKING_LISTS_H
#define TRACKING_LISTS_H

#include <windows.h>

#include "dmi_command_block.h"

typedef uint32_t(__cdecl *TransportInvokeFn)(uint32_t connection, uint32_t length, DmiCommandBlock *block);
typedef void(__cdecl *TransportReleaseFn)(uint32_t connection);

typedef struct HandleMapEntry {
    struct HandleMapEntry *self; /* the management handle the application holds */
    uint32_t realHandle;         /* as the service layer or the node issued it */
    uint32_t connection;         /* 0 for a local registration */
    DmiConfirmCallback appConfirm;
    DmiSecondCallback appSecond; /* stored, never called */
    TransportInvokeFn invokeFn;
    TransportReleaseFn releaseFn;
    uint32_t alive;              /* 0 once the transport reported the connection lost */
    struct HandleMapEntry *next, *prev;
} HandleMapEntry;

typedef struct PendingCommand {
    uint32_t connection;
    DmiCommandBlock *block;
    HandleMapEntry *mapEntry;      /* the entry the command was made on; 0 for a registration */
    DmiConfirmCallback appConfirm; /* called for this command's confirmation */
    DmiSecondCallback appSecond;
    uint32_t savedContext;
    HANDLE waitSemaphore;
    HANDLE cancelEvent;
    TransportInvokeFn invokeFn;
    TransportReleaseFn releaseFn;
    void *savedResponse;
    /* Registration: the entry for the handle its confirmation delivers, taken
     * before the command is sent so that the confirmation never lacks memory. */
    HandleMapEntry *reservedEntry;
    struct PendingCommand *next, *prev;
} PendingCommand;

typedef struct TransportModule {
    void *clientInit;
    HMODULE library;
    uint32_t protocolIndex;
    int32_t refCount;
    struct TransportModule *next, *prev;
} TransportModule;

/* Created empty at attach; 0 on failure. */
BOOL InitTrackingLists(void);
/* Frees every entry without calling anything and releases the transport
 * libraries (the library is being unloaded). */
void FreeTrackingLists(void);

PendingCommand *CreatePending(DmiCommandBlock *block);
void UnlinkPending(PendingCommand *pc);
/* Whether `address` is a listed entry for `block`; if it is, it is unlinked in
 * the same step, so that of two racing finishers only one obtains it. */
BOOL ClaimPending(const void *address, const DmiCommandBlock *block);
PendingCommand *FindCancellable(uint32_t context);
void FreePending(PendingCommand *pc);

/* A zeroed entry with realHandle set and self pointing at itself, not yet listed. */
HandleMapEntry *AllocateMapEntry(uint32_t realHandle);
void AppendMapEntry(HandleMapEntry *entry);
/* The live fields of the entry a management handle names, copied under the
 * list's lock; 0 when the handle is not a listed entry with a non-zero realHandle. */
BOOL LookUpHandle(uint32_t handle, HandleMapEntry *copy);
/* Takes the entry out of the map if it is there; returns whether it was. With
 * `release`, a remote entry's connection is then given to its releaseFn. */
BOOL UnlinkMapEntry(HandleMapEntry *entry, BOOL release);
void FreeMapEntry(HandleMapEntry *entry);

#endif
