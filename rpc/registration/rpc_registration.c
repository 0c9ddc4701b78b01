#include "rpc_registration.h"

#include <string.h>

#include "rpcrt.h"

#define MAX_CALLS 10

static RPC_STATUS UseProtseq(const char *name)
{
    return RpcServerUseProtseqA((RPC_CSTR)name, MAX_CALLS, NULL);
}

/* Whether any binding's string form names a NetBIOS protocol sequence. */
static int HasNetBiosBinding(const RPC_BINDING_VECTOR *vector)
{
    int found = 0;
    for (unsigned long i = 0; i < vector->Count && !found; i++) {
        RPC_CSTR text = NULL;
        if (RpcBindingToStringBindingA(vector->BindingH[i], &text) == RPC_S_OK)
            found = strstr((const char *)text, "ncacn_nb") != NULL;
        RpcStringFreeA(&text);
    }
    return found;
}

static void CopyBindings(const RPC_BINDING_VECTOR *vector, unsigned long requested,
                         RpcSlot *slots)
{
    unsigned long n = vector->Count;
    if (requested != 0 && requested < n)
        n = requested;
    if (n > RPC_SLOT_COUNT)
        n = RPC_SLOT_COUNT;
    for (unsigned long i = 0; i < n; i++) {
        RPC_CSTR text = NULL;
        if (RpcBindingToStringBindingA(vector->BindingH[vector->Count - n + i], &text) == RPC_S_OK)
            lstrcpynA(slots[i], (const char *)text, RPC_SLOT_SIZE);
        RpcStringFreeA(&text);
    }
}

RPC_STATUS RegisterRpcServer(RPC_IF_HANDLE iface, unsigned long *count, const RpcSlot *protseqs,
                             RpcSlot *bindings, const char *entryName)
{
    RPC_BINDING_VECTOR *vector = NULL;
    unsigned long requested = *count;
    RPC_STATUS status;

    RpcServerUnregisterIf(iface, NULL, FALSE);
    RemoveLocalEndpoints(iface);

    if (requested != 0) {
        int used = 0;
        unsigned long n = requested < RPC_SLOT_COUNT ? requested : RPC_SLOT_COUNT;
        for (unsigned long i = 0; i < n; i++)
            if (memchr(protseqs[i], 0, RPC_SLOT_SIZE) && UseProtseq(protseqs[i]) == RPC_S_OK)
                used++;
        if (!used)
            return RPC_S_CANT_CREATE_ENDPOINT;
    } else {
        status = RtServerUseAllProtseqs(MAX_CALLS, NULL);
        if (status != RPC_S_OK)
            return status;
    }

    status = RpcServerInqBindings(&vector);
    if (status != RPC_S_OK)
        return status;
    if (requested == 0 && !HasNetBiosBinding(vector)) {
        /* Either may fail on a machine without NetBIOS. */
        int nb = UseProtseq("ncacn_nb_nb") == RPC_S_OK;
        nb |= UseProtseq("ncacn_nb_tcp") == RPC_S_OK;
        if (nb) {
            RpcBindingVectorFree(&vector);
            status = RpcServerInqBindings(&vector);
            if (status != RPC_S_OK)
                return status;
        }
    }

    *count = vector->Count;
    if (bindings)
        CopyBindings(vector, requested, bindings);

    if (entryName) {
        status = RtNsBindingExportA(RPC_C_NS_SYNTAX_DEFAULT, (RPC_CSTR)entryName, iface, vector,
                                    NULL);
        if (status != RPC_S_OK) {
            RpcBindingVectorFree(&vector);
            return status;
        }
    }
    status = RpcEpRegisterA(iface, vector, NULL, NULL);
    if (status != RPC_S_OK) {
        if (entryName)
            RtNsBindingUnexportA(RPC_C_NS_SYNTAX_DEFAULT, (RPC_CSTR)entryName, iface, NULL);
        RpcBindingVectorFree(&vector);
        return status;
    }
    status = RpcServerRegisterIf(iface, NULL, NULL);
    if (status != RPC_S_OK)
        RtEpUnregister(iface, vector, NULL);
    RpcBindingVectorFree(&vector);
    return status;
}

RPC_STATUS UnregisterRpcServer(RPC_IF_HANDLE iface, const char *entryName, int stopListening)
{
    RPC_STATUS status;

    if (stopListening)
        RpcMgmtStopServerListening(NULL);
    RpcServerUnregisterIf(iface, NULL, FALSE);
    status = RemoveLocalEndpoints(iface);
    if (entryName)
        return RtNsBindingUnexportA(RPC_C_NS_SYNTAX_DEFAULT, (RPC_CSTR)entryName, iface, NULL);
    return status;
}

RPC_STATUS RemoveLocalEndpoints(RPC_IF_HANDLE iface)
{
    char computer[31];
    DWORD size = sizeof computer;
    RPC_CSTR text = NULL;
    RPC_BINDING_HANDLE local = NULL;
    RPC_IF_ID id;
    RPC_EP_INQ_HANDLE inquiry;
    RPC_STATUS status;

    if (!GetComputerNameA(computer, &size))
        computer[0] = 0;
    status = RpcStringBindingComposeA(NULL, (RPC_CSTR) "ncalrpc", (RPC_CSTR)computer, NULL, NULL,
                                      &text);
    if (status != RPC_S_OK)
        return status;
    status = RpcBindingFromStringBindingA(text, &local);
    RpcStringFreeA(&text);
    if (status != RPC_S_OK)
        return status;
    status = RpcIfInqId(iface, &id);
    if (status == RPC_S_OK)
        status = RtMgmtEpEltInqBegin(local, RPC_C_EP_MATCH_BY_IF, &id, RPC_C_VERS_COMPATIBLE, NULL,
                                     &inquiry);
    if (status != RPC_S_OK) {
        RpcBindingFree(&local);
        return status;
    }
    for (;;) {
        RPC_BINDING_HANDLE element = NULL;
        RPC_BINDING_VECTOR one;
        if (RtMgmtEpEltInqNextA(inquiry, NULL, &element, NULL, NULL) != RPC_S_OK)
            break;
        one.Count = 1;
        one.BindingH[0] = element;
        RtEpUnregister(iface, &one, NULL);
        RpcBindingFree(&element);
    }
    status = RtMgmtEpEltInqDone(&inquiry);
    RpcBindingFree(&local);
    return status;
}
