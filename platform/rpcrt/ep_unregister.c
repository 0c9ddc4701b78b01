/* Endpoint-map removal as a client of the endpoint mapper's delete operation. */
#include "rpcrt.h"

#include <string.h>

#include "ept.h"
#include "ept_tower.h"
#include "rpc_guard.h"

#define TOWER_MAX 512

typedef struct DeleteCall {
    RPC_BINDING_HANDLE mapper;
    unsigned long count;
    ept_entry_t *entries;
    error_status_t status;
} DeleteCall;

static void CallDelete(void *arg)
{
    DeleteCall *c = arg;
    ept_delete(c->mapper, c->count, c->entries, &c->status);
}

/* The tower of one binding of the interface, or NULL. */
static ept_tower_t *BindingTower(const RPC_SYNTAX_IDENTIFIER *iface, RPC_BINDING_HANDLE binding)
{
    RPC_CSTR text = NULL, protseq = NULL, address = NULL, endpoint = NULL;
    ept_tower_t *tower = NULL;

    if (RpcBindingToStringBindingA(binding, &text) == RPC_S_OK &&
        RpcStringBindingParseA(text, NULL, &protseq, &address, &endpoint, NULL) == RPC_S_OK) {
        tower = HeapAlloc(GetProcessHeap(), 0, sizeof *tower + TOWER_MAX);
        if (tower) {
            tower->tower_length = EptTowerBuild(
                iface, (const char *)protseq, endpoint ? (const char *)endpoint : "",
                address ? (const char *)address : "", tower->tower_octet_string, TOWER_MAX);
            if (!tower->tower_length) {
                HeapFree(GetProcessHeap(), 0, tower);
                tower = NULL;
            }
        }
    }
    RpcStringFreeA(&text);
    RpcStringFreeA(&protseq);
    RpcStringFreeA(&address);
    RpcStringFreeA(&endpoint);
    return tower;
}

RPC_STATUS RtEpUnregister(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR *BindingVector,
                          UUID_VECTOR *UuidVector)
{
    const RPC_SERVER_INTERFACE *iface = IfSpec;
    unsigned long objects = UuidVector ? UuidVector->Count : 1, count = 0;
    DeleteCall call = {NULL, 0, NULL, RPC_S_OK};
    RPC_STATUS status;

    if (!iface || !BindingVector || BindingVector->Count == 0 || objects == 0 ||
        BindingVector->Count > 0xFFFF || objects > 0xFFFF)
        return RPC_S_INVALID_ARG;
    call.entries = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                             BindingVector->Count * objects * sizeof *call.entries);
    if (!call.entries)
        return RPC_S_OUT_OF_MEMORY;

    status = RPC_S_OK;
    for (unsigned long i = 0; i < BindingVector->Count && status == RPC_S_OK; i++) {
        for (unsigned long j = 0; j < objects && status == RPC_S_OK; j++) {
            ept_entry_t *e = &call.entries[count];
            e->tower = BindingTower(&iface->InterfaceId, BindingVector->BindingH[i]);
            if (!e->tower) {
                status = RPC_S_INVALID_BINDING;
                break;
            }
            if (UuidVector)
                memcpy(&e->object, UuidVector->Uuid[j], sizeof e->object);
            count++;
        }
    }
    if (status == RPC_S_OK)
        status = RpcBindingFromStringBindingA((RPC_CSTR) "ncalrpc:[epmapper]", &call.mapper);
    if (status == RPC_S_OK) {
        call.count = count;
        status = RpcGuardCall(CallDelete, &call);
        if (status == RPC_S_OK)
            status = call.status;
        RpcBindingFree(&call.mapper);
    }
    for (unsigned long i = 0; i < count; i++)
        HeapFree(GetProcessHeap(), 0, call.entries[i].tower);
    HeapFree(GetProcessHeap(), 0, call.entries);
    return status;
}
