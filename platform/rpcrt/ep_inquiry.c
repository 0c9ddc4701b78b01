/* Endpoint-map inquiry as a client of the endpoint mapper's lookup operation. */
#include "rpcrt.h"

#include <string.h>

#include "ept.h"
#include "ept_tower.h"
#include "rpc_guard.h"

#define BATCH 16
#define INQUIRY_MAGIC 0x49657045

typedef struct EpInquiry {
    DWORD magic;
    RPC_BINDING_HANDLE mapper;
    unsigned long inquiryType, versOption;
    ept_if_id_t ifId;
    ept_uuid_t object;
    char nodeAddress[EPT_TOWER_TEXT];
    ept_lookup_handle_t lookup;
    int started, finished;
    RPC_STATUS finalStatus;
    unsigned long count, next;
    ept_entry_t batch[BATCH];
} EpInquiry;

/* The mapper's well-known endpoint for a protocol sequence, whose name the
   run time knows in lower case; *canonical receives that name. */
static const char *MapperEndpoint(const char *protseq, const char **canonical)
{
    static const struct { const char *protseq, *endpoint; } known[] = {
        {"ncacn_ip_tcp", "135"}, {"ncacn_np", "\\pipe\\epmapper"}, {"ncalrpc", "epmapper"},
        {"ncadg_ip_udp", "135"}, {"ncacn_nb_tcp", "135"}, {"ncacn_nb_nb", "135"},
    };
    for (size_t i = 0; i < sizeof known / sizeof known[0]; i++)
        if (lstrcmpiA(protseq, known[i].protseq) == 0) {
            *canonical = known[i].protseq;
            return known[i].endpoint;
        }
    return NULL;
}

/* A binding to the mapper of the node that the caller's binding names. */
static RPC_STATUS BindToMapper(RPC_BINDING_HANDLE node, EpInquiry *inq)
{
    RPC_CSTR text = NULL, protseq = NULL, address = NULL, mapperText = NULL;
    const char *endpoint, *canonical = NULL;
    RPC_STATUS status;

    if (node) {
        status = RpcBindingToStringBindingA(node, &text);
        if (status == RPC_S_OK)
            status = RpcStringBindingParseA(text, NULL, &protseq, &address, NULL, NULL);
        RpcStringFreeA(&text);
    } else {
        protseq = (RPC_CSTR) "ncalrpc";
        status = RPC_S_OK;
    }
    if (status == RPC_S_OK) {
        endpoint = MapperEndpoint((const char *)protseq, &canonical);
        if (!endpoint)
            status = RPC_S_PROTSEQ_NOT_SUPPORTED;
        else if (address && lstrlenA((const char *)address) >= (int)sizeof inq->nodeAddress)
            status = RPC_S_INVALID_NET_ADDR;
    }
    if (status == RPC_S_OK) {
        if (address)
            lstrcpyA(inq->nodeAddress, (const char *)address);
        status = RpcStringBindingComposeA(NULL, (RPC_CSTR)canonical, address, (RPC_CSTR)endpoint,
                                          NULL, &mapperText);
    }
    if (status == RPC_S_OK)
        status = RpcBindingFromStringBindingA(mapperText, &inq->mapper);
    RpcStringFreeA(&mapperText);
    if (node) {
        RpcStringFreeA(&protseq);
        RpcStringFreeA(&address);
    }
    return status;
}

RPC_STATUS RtMgmtEpEltInqBegin(RPC_BINDING_HANDLE EpBinding, unsigned long InquiryType,
                               RPC_IF_ID *IfId, unsigned long VersOption, UUID *ObjectUuid,
                               RPC_EP_INQ_HANDLE *InquiryContext)
{
    EpInquiry *inq;
    RPC_STATUS status;
    int byIf = InquiryType == RPC_C_EP_MATCH_BY_IF || InquiryType == RPC_C_EP_MATCH_BY_BOTH;
    int byObj = InquiryType == RPC_C_EP_MATCH_BY_OBJ || InquiryType == RPC_C_EP_MATCH_BY_BOTH;

    if (!InquiryContext || InquiryType > RPC_C_EP_MATCH_BY_BOTH || (byIf && !IfId) ||
        (byObj && !ObjectUuid))
        return RPC_S_INVALID_ARG;
    if (byIf && (VersOption < RPC_C_VERS_ALL || VersOption > RPC_C_VERS_UPTO))
        return RPC_S_INVALID_VERS_OPTION;
    *InquiryContext = NULL;

    inq = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *inq);
    if (!inq)
        return RPC_S_OUT_OF_MEMORY;
    status = BindToMapper(EpBinding, inq);
    if (status != RPC_S_OK) {
        HeapFree(GetProcessHeap(), 0, inq);
        return status;
    }
    inq->magic = INQUIRY_MAGIC;
    inq->inquiryType = InquiryType;
    inq->versOption = VersOption;
    if (byIf) {
        memcpy(&inq->ifId.uuid, &IfId->Uuid, sizeof inq->ifId.uuid);
        inq->ifId.vers_major = IfId->VersMajor;
        inq->ifId.vers_minor = IfId->VersMinor;
    }
    if (byObj)
        memcpy(&inq->object, ObjectUuid, sizeof inq->object);
    *InquiryContext = (RPC_EP_INQ_HANDLE)inq;
    return RPC_S_OK;
}

static void FreeBatch(EpInquiry *inq)
{
    for (unsigned long i = 0; i < BATCH; i++) {
        MIDL_user_free(inq->batch[i].tower);
        inq->batch[i].tower = NULL;
    }
    inq->count = inq->next = 0;
}

typedef struct LookupCall {
    EpInquiry *inq;
    unsigned long received;
    error_status_t status;
} LookupCall;

static void CallLookup(void *arg)
{
    LookupCall *c = arg;
    EpInquiry *inq = c->inq;
    int byIf = inq->inquiryType == RPC_C_EP_MATCH_BY_IF || inq->inquiryType == RPC_C_EP_MATCH_BY_BOTH;
    int byObj = inq->inquiryType == RPC_C_EP_MATCH_BY_OBJ || inq->inquiryType == RPC_C_EP_MATCH_BY_BOTH;

    ept_lookup(inq->mapper, inq->inquiryType, byObj ? &inq->object : NULL,
               byIf ? &inq->ifId : NULL, inq->versOption, &inq->lookup, BATCH, &c->received,
               inq->batch, &c->status);
}

/* Fetches the next batch; 0 when it holds elements, else the status that ends the inquiry. */
static RPC_STATUS FetchBatch(EpInquiry *inq)
{
    LookupCall call = {inq, 0, RPC_S_OK};
    RPC_STATUS status;

    FreeBatch(inq);
    if (inq->started && !inq->lookup)
        return RPC_X_NO_MORE_ENTRIES;
    inq->started = 1;
    status = RpcGuardCall(CallLookup, &call);
    if (status == RPC_S_OK)
        status = call.status;
    if (status == EPT_S_NOT_REGISTERED)
        status = RPC_X_NO_MORE_ENTRIES;
    if (status == RPC_S_OK && call.received == 0)
        status = RPC_X_NO_MORE_ENTRIES;
    if (status != RPC_S_OK) {
        FreeBatch(inq);
        return status;
    }
    inq->count = call.received < BATCH ? call.received : BATCH;
    return RPC_S_OK;
}

/* Turns one element into the caller's results; 0 when its tower names no usable binding. */
static int TakeElement(EpInquiry *inq, const ept_entry_t *e, RPC_IF_ID *IfId,
                       RPC_BINDING_HANDLE *Binding, UUID *ObjectUuid, RPC_CSTR *Annotation)
{
    EptTowerInfo info;
    RPC_CSTR text = NULL;
    RPC_BINDING_HANDLE binding = NULL;
    const char *address;

    if (!e->tower || !EptTowerParse(e->tower->tower_octet_string, e->tower->tower_length, &info) ||
        !info.protseq)
        return 0;
    address = info.address[0] ? info.address : inq->nodeAddress;
    if (Binding) {
        if (RpcStringBindingComposeA(NULL, (RPC_CSTR)info.protseq,
                                     address[0] ? (RPC_CSTR)address : NULL,
                                     info.endpoint[0] ? (RPC_CSTR)info.endpoint : NULL, NULL,
                                     &text) != RPC_S_OK)
            return 0;
        RPC_STATUS status = RpcBindingFromStringBindingA(text, &binding);
        RpcStringFreeA(&text);
        if (status != RPC_S_OK)
            return 0;
    }
    if (Annotation) {
        char annotation[64];
        lstrcpynA(annotation, (const char *)e->annotation, sizeof annotation);
        *Annotation = I_RpcAllocate(lstrlenA(annotation) + 1);
        if (!*Annotation) {
            if (binding)
                RpcBindingFree(&binding);
            return 0;
        }
        lstrcpyA((char *)*Annotation, annotation);
    }
    if (Binding)
        *Binding = binding;
    if (IfId) {
        memcpy(&IfId->Uuid, &info.ifUuid, sizeof IfId->Uuid);
        IfId->VersMajor = info.ifMajor;
        IfId->VersMinor = info.ifMinor;
    }
    if (ObjectUuid)
        memcpy(ObjectUuid, &e->object, sizeof *ObjectUuid);
    return 1;
}

static EpInquiry *CheckInquiry(RPC_EP_INQ_HANDLE handle)
{
    EpInquiry *inq = (EpInquiry *)handle;
    return inq && inq->magic == INQUIRY_MAGIC ? inq : NULL;
}

RPC_STATUS RtMgmtEpEltInqNextA(RPC_EP_INQ_HANDLE InquiryContext, RPC_IF_ID *IfId,
                               RPC_BINDING_HANDLE *Binding, UUID *ObjectUuid,
                               RPC_CSTR *Annotation)
{
    EpInquiry *inq = CheckInquiry(InquiryContext);

    if (!inq)
        return RPC_S_INVALID_ARG;
    for (;;) {
        if (inq->finished)
            return inq->finalStatus;
        while (inq->next < inq->count) {
            const ept_entry_t *e = &inq->batch[inq->next++];
            if (TakeElement(inq, e, IfId, Binding, ObjectUuid, Annotation))
                return RPC_S_OK;
        }
        RPC_STATUS status = FetchBatch(inq);
        if (status != RPC_S_OK) {
            inq->finished = 1;
            inq->finalStatus = status;
        }
    }
}

static void CallHandleFree(void *arg)
{
    EpInquiry *inq = arg;
    error_status_t status;
    ept_lookup_handle_free(inq->mapper, &inq->lookup, &status);
}

RPC_STATUS RtMgmtEpEltInqDone(RPC_EP_INQ_HANDLE *InquiryContext)
{
    EpInquiry *inq = InquiryContext ? CheckInquiry(*InquiryContext) : NULL;

    if (!inq)
        return RPC_S_INVALID_ARG;
    if (inq->lookup && RpcGuardCall(CallHandleFree, inq) != RPC_S_OK && inq->lookup)
        RpcSsDestroyClientContext(&inq->lookup);
    FreeBatch(inq);
    RpcBindingFree(&inq->mapper);
    inq->magic = 0;
    HeapFree(GetProcessHeap(), 0, inq);
    *InquiryContext = NULL;
    return RPC_S_OK;
}
