#include "node_binding.h"

#include <string.h>

#include "rpcrt.h"

#define NODE_NAME_MAX 63
#define NETBIOS_NAME_MAX 16

RPC_STATUS ComposeNodeBinding(const char *protseq, const char *nodeName, RPC_CSTR *text)
{
    char name[NODE_NAME_MAX + 1];

    *text = NULL;
    if (strlen(nodeName) > NODE_NAME_MAX)
        return RPC_S_INVALID_NET_ADDR;
    lstrcpyA(name, nodeName);
    if ((strcmp(protseq, "ncacn_nb_nb") == 0 || strcmp(protseq, "ncacn_nb_tcp") == 0) &&
        strlen(name) > NETBIOS_NAME_MAX)
        name[NETBIOS_NAME_MAX] = 0;
    return RpcStringBindingComposeA(NULL, (RPC_CSTR)protseq, (RPC_CSTR)name, NULL, NULL, text);
}

RPC_STATUS BindToNode(RPC_IF_HANDLE iface, const char *protseq, const char *nodeName,
                      RPC_BINDING_HANDLE *binding)
{
    RPC_CSTR text = NULL;
    RPC_BINDING_HANDLE partial = NULL;
    RPC_STATUS status;

    *binding = NULL;
    status = ComposeNodeBinding(protseq, nodeName, &text);
    if (status != RPC_S_OK)
        return status;
    status = RpcBindingFromStringBindingA(text, &partial);
    RpcStringFreeA(&text);
    if (status != RPC_S_OK)
        return status;
    status = FindServerEndpoint(iface, partial, binding);
    RpcBindingFree(&partial);
    return status;
}

/* The protocol sequence of a binding's string form, released with RpcStringFreeA. */
static RPC_STATUS BindingProtseq(RPC_BINDING_HANDLE binding, RPC_CSTR *protseq)
{
    RPC_CSTR text = NULL;
    RPC_STATUS status = RpcBindingToStringBindingA(binding, &text);

    *protseq = NULL;
    if (status == RPC_S_OK)
        status = RpcStringBindingParseA(text, NULL, protseq, NULL, NULL, NULL);
    RpcStringFreeA(&text);
    return status;
}

RPC_STATUS FindServerEndpoint(RPC_IF_HANDLE iface, RPC_BINDING_HANDLE partial,
                              RPC_BINDING_HANDLE *binding)
{
    RPC_IF_ID id;
    RPC_CSTR wanted = NULL;
    RPC_EP_INQ_HANDLE inquiry;
    RPC_STATUS status;

    *binding = NULL;
    status = RpcIfInqId(iface, &id);
    if (status != RPC_S_OK)
        return status;
    status = BindingProtseq(partial, &wanted);
    if (status != RPC_S_OK)
        return status;
    status = RtMgmtEpEltInqBegin(partial, RPC_C_EP_MATCH_BY_IF, &id, RPC_C_VERS_COMPATIBLE, NULL,
                                 &inquiry);
    if (status != RPC_S_OK) {
        RpcStringFreeA(&wanted);
        return status;
    }
    for (;;) {
        RPC_CSTR annotation = NULL, protseq = NULL;
        int same;

        status = RtMgmtEpEltInqNextA(inquiry, NULL, binding, NULL, &annotation);
        if (status != RPC_S_OK)
            break;
        RpcStringFreeA(&annotation);
        same = BindingProtseq(*binding, &protseq) == RPC_S_OK &&
               lstrcmpiA((const char *)protseq, (const char *)wanted) == 0;
        RpcStringFreeA(&protseq);
        if (same)
            break;
        RpcBindingFree(binding);
    }
    RtMgmtEpEltInqDone(&inquiry);
    RpcStringFreeA(&wanted);
    if (status != RPC_S_OK)
        *binding = NULL;
    return status;
}

/* Length of the text before the first colon within limit characters, or -1. */
static int ProtseqLength(const char *text, size_t limit)
{
    for (size_t i = 0; i < limit && text[i]; i++)
        if (text[i] == ':')
            return (int)i;
    return -1;
}

const char *MatchCallbackBinding(const RpcSlot *list, unsigned long count,
                                 RPC_BINDING_HANDLE binding)
{
    RPC_CSTR text = NULL;
    const char *match = NULL;
    int length;

    if (RpcBindingToStringBindingA(binding, &text) != RPC_S_OK)
        return NULL;
    length = ProtseqLength((const char *)text, strlen((const char *)text));
    if (count > RPC_SLOT_COUNT)
        count = RPC_SLOT_COUNT;
    for (unsigned long i = 0; i < count && length >= 0 && !match; i++)
        if (ProtseqLength(list[i], RPC_SLOT_SIZE) == length &&
            memcmp(list[i], text, length) == 0)
            match = list[i];
    RpcStringFreeA(&text);
    return match;
}
