/* The test machine's endpoint mapper: keeps the machine's endpoint map and
   serves the DCE endpoint-mapper interface on its well-known endpoints, so
   that servers register there and clients on this or another machine find
   them. One instance a machine; a second one exits at once. */
#include <windows.h>
#include <rpc.h>
#include <stdio.h>
#include <string.h>

#include "ept.h"
#include "ept_tower.h"

/* More elements than any test machine needs; a flood of inserts is refused. */
#define MAX_ELEMENTS 4096

typedef struct Element {
    UUID object;
    unsigned char *tower;
    unsigned long towerLength;
    char annotation[64];
    EptTowerInfo info;
} Element;

/* What one lookup or map inquiry still has to hand out, taken when it began. */
typedef struct Inquiry {
    DWORD magic;
    int isMap;
    unsigned long count, next;
    Element items[];
} Inquiry;

#define INQUIRY_MAGIC 0x51516e45

static CRITICAL_SECTION mapLock;
static Element *elements;
static unsigned long elementCount;
static UUID mapperObject;

static const UUID nilUuid;

static void FreeInquiry(Inquiry *inq)
{
    if (!inq)
        return;
    for (unsigned long i = 0; i < inq->count; i++)
        HeapFree(GetProcessHeap(), 0, inq->items[i].tower);
    inq->magic = 0;
    HeapFree(GetProcessHeap(), 0, inq);
}

static int CopyTower(Element *to, const unsigned char *octets, unsigned long length)
{
    to->tower = HeapAlloc(GetProcessHeap(), 0, length ? length : 1);
    if (!to->tower)
        return 0;
    memcpy(to->tower, octets, length);
    to->towerLength = length;
    return 1;
}

static int ReadEntry(const ept_uuid_t *object, const ept_tower_t *tower, const char *annotation,
                     Element *out)
{
    memset(out, 0, sizeof *out);
    if (!tower || !EptTowerParse(tower->tower_octet_string, tower->tower_length, &out->info))
        return 0;
    memcpy(&out->object, object, sizeof out->object);
    lstrcpynA(out->annotation, annotation, sizeof out->annotation);
    return 1;
}

static void RemoveAt(unsigned long i)
{
    HeapFree(GetProcessHeap(), 0, elements[i].tower);
    elements[i] = elements[--elementCount];
}

/* Replaced on insert: same object, interface and protocol sequence. */
static int SameService(const Element *a, const Element *b)
{
    return IsEqualGUID(&a->object, &b->object) && IsEqualGUID(&a->info.ifUuid, &b->info.ifUuid) &&
           a->info.ifMajor == b->info.ifMajor && a->info.protocolId == b->info.protocolId &&
           a->info.endpointId == b->info.endpointId;
}

void __cdecl ept_insert(handle_t h, unsigned long num_ents, ept_entry_in_t entries[], long replace,
                        error_status_t *status)
{
    Element *incoming;

    if (num_ents == 0) {
        *status = RPC_S_OK;
        return;
    }
    if (!entries || num_ents > MAX_ELEMENTS) {
        *status = EPT_S_CANT_PERFORM_OP;
        return;
    }
    incoming = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, num_ents * sizeof *incoming);
    if (!incoming) {
        *status = RPC_S_OUT_OF_MEMORY;
        return;
    }
    *status = RPC_S_OK;
    for (unsigned long i = 0; i < num_ents && *status == RPC_S_OK; i++) {
        if (!ReadEntry(&entries[i].object, entries[i].tower, entries[i].annotation, &incoming[i]))
            *status = EPT_S_INVALID_ENTRY;
        else if (!CopyTower(&incoming[i], entries[i].tower->tower_octet_string,
                            entries[i].tower->tower_length))
            *status = RPC_S_OUT_OF_MEMORY;
    }

    EnterCriticalSection(&mapLock);
    if (*status == RPC_S_OK && elementCount + num_ents > MAX_ELEMENTS)
        *status = EPT_S_CANT_PERFORM_OP;
    if (*status == RPC_S_OK) {
        /* What the new elements replace is removed first, so that the
           elements of one insert never replace each other. */
        for (unsigned long i = 0; i < num_ents; i++) {
            for (unsigned long j = elementCount; j-- > 0;) {
                if (replace ? SameService(&elements[j], &incoming[i])
                            : IsEqualGUID(&elements[j].object, &incoming[i].object) &&
                                  EptTowerSameEndpoint(&elements[j].info, &incoming[i].info))
                    RemoveAt(j);
            }
        }
        for (unsigned long i = 0; i < num_ents; i++) {
            elements[elementCount++] = incoming[i];
            incoming[i].tower = NULL;
        }
    }
    LeaveCriticalSection(&mapLock);

    for (unsigned long i = 0; i < num_ents; i++)
        HeapFree(GetProcessHeap(), 0, incoming[i].tower);
    HeapFree(GetProcessHeap(), 0, incoming);
}

/* Removes the elements with this endpoint (and object, when given); returns how many. */
static unsigned long RemoveMatching(const EptTowerInfo *info, const UUID *object)
{
    unsigned long removed = 0;

    for (unsigned long j = elementCount; j-- > 0;) {
        if (EptTowerSameEndpoint(&elements[j].info, info) &&
            (!object || IsEqualGUID(&elements[j].object, object))) {
            RemoveAt(j);
            removed++;
        }
    }
    return removed;
}

void __cdecl ept_delete(handle_t h, unsigned long num_ents, ept_entry_t entries[],
                        error_status_t *status)
{
    Element probe;

    *status = RPC_S_OK;
    if (num_ents && !entries) {
        *status = EPT_S_CANT_PERFORM_OP;
        return;
    }
    for (unsigned long i = 0; i < num_ents; i++) {
        if (!ReadEntry(&entries[i].object, entries[i].tower, entries[i].annotation, &probe)) {
            *status = EPT_S_INVALID_ENTRY;
            return;
        }
    }
    EnterCriticalSection(&mapLock);
    for (unsigned long i = 0; i < num_ents; i++) {
        ReadEntry(&entries[i].object, entries[i].tower, entries[i].annotation, &probe);
        if (!RemoveMatching(&probe.info, &probe.object))
            *status = EPT_S_NOT_REGISTERED;
    }
    LeaveCriticalSection(&mapLock);
}

static int VersionMatches(const EptTowerInfo *e, const ept_if_id_t *want, unsigned long option)
{
    switch (option) {
    case RPC_C_VERS_ALL:
        return 1;
    case RPC_C_VERS_COMPATIBLE:
        return e->ifMajor == want->vers_major && e->ifMinor >= want->vers_minor;
    case RPC_C_VERS_EXACT:
        return e->ifMajor == want->vers_major && e->ifMinor == want->vers_minor;
    case RPC_C_VERS_MAJOR_ONLY:
        return e->ifMajor == want->vers_major;
    case RPC_C_VERS_UPTO:
        return e->ifMajor < want->vers_major ||
               (e->ifMajor == want->vers_major && e->ifMinor <= want->vers_minor);
    }
    return 0;
}

typedef int (*ElementFilter)(const Element *e, const void *query);

/* Copies the matching elements into a new inquiry; NULL with *status set when
   there are none or memory runs out. */
static Inquiry *BeginInquiry(ElementFilter filter, const void *query, int isMap,
                             error_status_t *status)
{
    Inquiry *inq;
    unsigned long n = 0;

    EnterCriticalSection(&mapLock);
    inq = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                    sizeof *inq + (elementCount ? elementCount : 1) * sizeof(Element));
    if (inq) {
        for (unsigned long i = 0; i < elementCount; i++) {
            if (!filter(&elements[i], query))
                continue;
            inq->items[n] = elements[i];
            if (!CopyTower(&inq->items[n], elements[i].tower, elements[i].towerLength))
                break;
            n++;
        }
    }
    LeaveCriticalSection(&mapLock);
    if (!inq) {
        *status = RPC_S_OUT_OF_MEMORY;
        return NULL;
    }
    inq->magic = INQUIRY_MAGIC;
    inq->isMap = isMap;
    inq->count = n;
    if (n == 0) {
        FreeInquiry(inq);
        *status = EPT_S_NOT_REGISTERED;
        return NULL;
    }
    return inq;
}

/* The inquiry a handle stands for, or NULL (status set) when it is of the other kind. */
static Inquiry *ContinueInquiry(ept_lookup_handle_t *handle, int isMap, error_status_t *status)
{
    Inquiry *inq = *handle;

    if (inq->magic != INQUIRY_MAGIC || inq->isMap != isMap) {
        *status = EPT_S_CANT_PERFORM_OP;
        return NULL;
    }
    return inq;
}

static ept_tower_t *NewWireTower(const Element *e)
{
    ept_tower_t *t = MIDL_user_allocate(sizeof *t + e->towerLength);
    if (t) {
        t->tower_length = e->towerLength;
        memcpy(t->tower_octet_string, e->tower, e->towerLength);
    }
    return t;
}

/* Done with an inquiry once everything is handed out: the client's handle becomes null. */
static void EndIfExhausted(Inquiry *inq, ept_lookup_handle_t *handle)
{
    if (inq->next >= inq->count) {
        FreeInquiry(inq);
        *handle = NULL;
    } else {
        *handle = inq;
    }
}

typedef struct LookupQuery {
    unsigned long inquiryType, versOption;
    const ept_uuid_t *object;
    const ept_if_id_t *ifId;
} LookupQuery;

static int LookupFilter(const Element *e, const void *query)
{
    const LookupQuery *q = query;
    int byIf = q->inquiryType == RPC_C_EP_MATCH_BY_IF || q->inquiryType == RPC_C_EP_MATCH_BY_BOTH;
    int byObj = q->inquiryType == RPC_C_EP_MATCH_BY_OBJ || q->inquiryType == RPC_C_EP_MATCH_BY_BOTH;

    if (byIf && (!IsEqualGUID(&e->info.ifUuid, (const UUID *)&q->ifId->uuid) ||
                 !VersionMatches(&e->info, q->ifId, q->versOption)))
        return 0;
    if (byObj && !IsEqualGUID(&e->object, (const UUID *)q->object))
        return 0;
    return 1;
}

void __cdecl ept_lookup(handle_t h, unsigned long inquiry_type, ept_uuid_t *object,
                        ept_if_id_t *interface_id, unsigned long vers_option,
                        ept_lookup_handle_t *entry_handle, unsigned long max_ents,
                        unsigned long *num_ents, ept_entry_t entries[], error_status_t *status)
{
    LookupQuery query = {inquiry_type, vers_option, object, interface_id};
    Inquiry *inq;

    *num_ents = 0;
    *status = RPC_S_OK;
    if (max_ents == 0 || inquiry_type > RPC_C_EP_MATCH_BY_BOTH) {
        *status = EPT_S_CANT_PERFORM_OP;
        return;
    }
    if (inquiry_type == RPC_C_EP_MATCH_BY_IF || inquiry_type == RPC_C_EP_MATCH_BY_BOTH) {
        if (!interface_id) {
            *status = EPT_S_CANT_PERFORM_OP;
            return;
        }
        if (vers_option < RPC_C_VERS_ALL || vers_option > RPC_C_VERS_UPTO) {
            *status = RPC_S_INVALID_VERS_OPTION;
            return;
        }
    }
    if ((inquiry_type == RPC_C_EP_MATCH_BY_OBJ || inquiry_type == RPC_C_EP_MATCH_BY_BOTH) &&
        !object) {
        *status = EPT_S_CANT_PERFORM_OP;
        return;
    }

    inq = *entry_handle ? ContinueInquiry(entry_handle, 0, status)
                        : BeginInquiry(LookupFilter, &query, 0, status);
    if (!inq)
        return;
    while (inq->next < inq->count && *num_ents < max_ents) {
        const Element *e = &inq->items[inq->next];
        ept_entry_t *out = &entries[*num_ents];
        out->tower = NewWireTower(e);
        if (!out->tower) {
            *status = RPC_S_OUT_OF_MEMORY;
            break;
        }
        memcpy(&out->object, &e->object, sizeof out->object);
        lstrcpynA((char *)out->annotation, e->annotation, sizeof out->annotation);
        inq->next++;
        ++*num_ents;
    }
    EndIfExhausted(inq, entry_handle);
}

typedef struct MapQuery {
    const UUID *object;
    EptTowerInfo want;
} MapQuery;

static int MapFilter(const Element *e, const void *query)
{
    const MapQuery *q = query;

    return IsEqualGUID(&e->info.ifUuid, &q->want.ifUuid) && e->info.ifMajor == q->want.ifMajor &&
           e->info.ifMinor >= q->want.ifMinor &&
           IsEqualGUID(&e->info.syntaxUuid, &q->want.syntaxUuid) &&
           e->info.syntaxMajor == q->want.syntaxMajor &&
           e->info.protocolId == q->want.protocolId && e->info.endpointId == q->want.endpointId &&
           (IsEqualGUID(&e->object, q->object) || IsEqualGUID(&e->object, &nilUuid));
}

void __cdecl ept_map(handle_t h, ept_uuid_t *object, ept_tower_p_t map_tower,
                     ept_lookup_handle_t *entry_handle, unsigned long max_towers,
                     unsigned long *num_towers, ept_tower_p_t towers[], error_status_t *status)
{
    MapQuery query;
    Inquiry *inq;

    memset(&query, 0, sizeof query);
    query.object = object ? (const UUID *)object : &nilUuid;

    *num_towers = 0;
    *status = RPC_S_OK;
    if (max_towers == 0) {
        *status = EPT_S_CANT_PERFORM_OP;
        return;
    }
    if (!map_tower ||
        !EptTowerParse(map_tower->tower_octet_string, map_tower->tower_length, &query.want) ||
        !query.want.endpointId) {
        *status = EPT_S_INVALID_ENTRY;
        return;
    }
    inq = *entry_handle ? ContinueInquiry(entry_handle, 1, status)
                        : BeginInquiry(MapFilter, &query, 1, status);
    if (!inq)
        return;
    while (inq->next < inq->count && *num_towers < max_towers) {
        towers[*num_towers] = NewWireTower(&inq->items[inq->next]);
        if (!towers[*num_towers]) {
            *status = RPC_S_OUT_OF_MEMORY;
            break;
        }
        inq->next++;
        ++*num_towers;
    }
    EndIfExhausted(inq, entry_handle);
}

void __cdecl ept_lookup_handle_free(handle_t h, ept_lookup_handle_t *entry_handle,
                                    error_status_t *status)
{
    Inquiry *inq = *entry_handle;

    *status = RPC_S_OK;
    if (inq && inq->magic == INQUIRY_MAGIC)
        FreeInquiry(inq);
    *entry_handle = NULL;
}

void __cdecl ept_inq_object(handle_t h, ept_uuid_t *ept_object, error_status_t *status)
{
    memcpy(ept_object, &mapperObject, sizeof mapperObject);
    *status = RPC_S_OK;
}

void __cdecl ept_mgmt_delete(handle_t h, long object_speced, ept_uuid_t *object,
                             ept_tower_p_t tower, error_status_t *status)
{
    EptTowerInfo info;

    if (!tower || !EptTowerParse(tower->tower_octet_string, tower->tower_length, &info) ||
        (object_speced && !object)) {
        *status = EPT_S_INVALID_ENTRY;
        return;
    }
    EnterCriticalSection(&mapLock);
    *status = RemoveMatching(&info, object_speced ? (const UUID *)object : NULL)
                  ? RPC_S_OK : EPT_S_NOT_REGISTERED;
    LeaveCriticalSection(&mapLock);
}

/* A client that went away in the middle of an inquiry. */
void __RPC_USER ept_lookup_handle_t_rundown(ept_lookup_handle_t handle)
{
    Inquiry *inq = handle;
    if (inq && inq->magic == INQUIRY_MAGIC)
        FreeInquiry(inq);
}

#define RUNNING_MUTEX "VELK_EPMAPPER"
#define READY_EVENT "VELK_EPMAPPER_READY"

/* "-start": runs the mapper as a detached process of the machine and returns
   once it serves (or already did). */
static int StartDetached(void)
{
    char path[MAX_PATH];
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    HANDLE ready, running, waits[2];
    DWORD rc;

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    running = OpenMutexA(SYNCHRONIZE, FALSE, RUNNING_MUTEX);
    if (running) {
        CloseHandle(running);
        return 0;
    }
    ready = CreateEventA(NULL, TRUE, FALSE, READY_EVENT);
    if (!ready || !GetModuleFileNameA(NULL, path, sizeof path) ||
        !CreateProcessA(path, NULL, NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si, &pi)) {
        fprintf(stderr, "epmapper: cannot start the endpoint mapper (error %lu)\n", GetLastError());
        return 1;
    }
    waits[0] = ready;
    waits[1] = pi.hProcess;
    rc = WaitForMultipleObjects(2, waits, FALSE, 20000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (rc != WAIT_OBJECT_0) {
        fprintf(stderr, "epmapper: the endpoint mapper did not come up\n");
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    static const struct { const char *protseq, *endpoint; } wellKnown[] = {
        {"ncacn_np", "\\pipe\\epmapper"},
        {"ncalrpc", "epmapper"},
        {"ncacn_ip_tcp", "135"},
    };
    RPC_STATUS status;
    HANDLE ready;
    int listening = 0;

    if (argc > 1 && strcmp(argv[1], "-start") == 0)
        return StartDetached();

    CreateMutexA(NULL, FALSE, RUNNING_MUTEX);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;

    InitializeCriticalSection(&mapLock);
    elements = HeapAlloc(GetProcessHeap(), 0, MAX_ELEMENTS * sizeof *elements);
    if (!elements) {
        fprintf(stderr, "epmapper: no memory for the endpoint map\n");
        return 1;
    }
    UuidCreate(&mapperObject);

    for (size_t i = 0; i < sizeof wellKnown / sizeof wellKnown[0]; i++) {
        status = RpcServerUseProtseqEpA((RPC_CSTR)wellKnown[i].protseq, RPC_C_LISTEN_MAX_CALLS_DEFAULT,
                                        (RPC_CSTR)wellKnown[i].endpoint, NULL);
        if (status == RPC_S_OK)
            listening++;
        else
            fprintf(stderr, "epmapper: cannot listen on %s %s (status %ld)\n",
                    wellKnown[i].protseq, wellKnown[i].endpoint, (long)status);
    }
    if (!listening)
        return 1;
    status = RpcServerRegisterIf(ept_v3_0_s_ifspec, NULL, NULL);
    if (status == RPC_S_OK)
        status = RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE);
    if (status != RPC_S_OK) {
        fprintf(stderr, "epmapper: cannot serve the endpoint map (status %ld)\n", (long)status);
        return 1;
    }
    ready = CreateEventA(NULL, TRUE, FALSE, READY_EVENT);
    if (ready)
        SetEvent(ready);
    RpcMgmtWaitServerListen();
    return 0;
}
