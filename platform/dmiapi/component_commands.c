/* Commands on installed components: the component list (513), rows of groups
 * (773, 774) from the database or through a direct-interface instrumentation, and
 * the instrumentation entry that carries a command out through the routines of an
 * InstrumentationRecord. */
#include <windows.h>

#include <string.h>

#include "component_commands.h"
#include "component_database.h"
#include "dmi_instrumentation.h"
#include "dmi_string.h"
#include "dmiapi.h"

#define DMI_CMD_LAST_COMPONENT_CODE 772u
#define MAX_MODULES 16

typedef struct LoadedModule {
    char name[DB_MAX_MODULE];
    HMODULE module;
    DmiCiInvokeFn invoke;
    DmiCiCancelFn cancel;
} LoadedModule;

/* Instrumentation takes no locks of its own: commands on components run one at a time. */
static CRITICAL_SECTION g_componentLock;
static CRITICAL_SECTION g_moduleLock;
static LoadedModule g_modules[MAX_MODULES];
static int g_moduleCount;
/* The component whose command this thread is handing to an instrumentation. */
static _Thread_local const Component *g_serving;

/* A row request (773, 774) taken out of a block whose words have been checked. */
typedef struct RowRequest {
    uint32_t componentId, groupId, keyCount;
    AttributeValue keys[DB_MAX_ATTRIBUTES];
} RowRequest;

/* Writes one row into a response buffer, never past its size. */
typedef struct RowWriter {
    unsigned char *response;
    uint32_t size;
    uint32_t at;       /* next free byte for strings */
    uint32_t entries;  /* attributes written */
    uint32_t withValue;
    int overflow;
} RowWriter;

void ComponentCommandsAttach(void)
{
    InitializeCriticalSection(&g_componentLock);
    InitializeCriticalSection(&g_moduleLock);
}

void ComponentCommandsDetach(void)
{
    for (int i = 0; i < g_moduleCount; i++)
        FreeLibrary(g_modules[i].module);
    g_moduleCount = 0;
    DeleteCriticalSection(&g_moduleLock);
    DeleteCriticalSection(&g_componentLock);
}

int IsComponentCommand(uint32_t command)
{
    return command == DMI_CMD_LIST_COMPONENTS ||
           (command >= DMI_CMD_COMPONENT_FIRST && command <= DMI_CMD_COMPONENT_LAST);
}

static void PutWord(unsigned char *response, uint32_t offset, uint32_t value)
{
    memcpy(response + offset, &value, 4);
}

static int ResponseUsable(const DmiCommandBlock *block)
{
    return block->responseSize == 0 || block->response;
}

/* Checks the words of a 773/774 block and takes its keys; 0 for a malformed block. */
static int ReadRowRequest(DmiCommandBlock *block, RowRequest *request)
{
    uint32_t length = block->blockLength;
    if (length < DMI_OFF_KEY_LIST + 4 || !ResponseUsable(block))
        return 0;
    request->componentId = *DmiBlockWord(block, DMI_OFF_COMPONENT_ID);
    request->groupId = *DmiBlockWord(block, DMI_OFF_GROUP_ID);
    request->keyCount = *DmiBlockWord(block, DMI_OFF_KEY_COUNT);
    uint32_t keyOffset = *DmiBlockWord(block, DMI_OFF_KEY_LIST);
    if (request->keyCount > DB_MAX_ATTRIBUTES ||
        !DmiRangeInside(length, keyOffset, request->keyCount * (uint32_t)sizeof(BlockKeyEntry)))
        return 0;
    for (uint32_t i = 0; i < request->keyCount; i++) {
        BlockKeyEntry entry;
        const char *text;
        uint32_t textLength;
        memcpy(&entry, (unsigned char *)block + keyOffset + i * sizeof entry, sizeof entry);
        if (entry.dataType == DMI_TYPE_STRING) {
            if (!DmiStringGet(block, length, entry.valueOffset, &text, &textLength))
                return 0;
        } else if (entry.dataType != DMI_TYPE_COUNTER || !DmiRangeInside(length, entry.valueOffset, 4)) {
            return 0;
        }
        request->keys[i] = (AttributeValue){entry.attributeId, entry.dataType, (unsigned char *)block + entry.valueOffset};
    }
    return 1;
}

static void RowBegin(RowWriter *w, DmiCommandBlock *block, const RowRequest *request, const DbGroup *group)
{
    uint32_t attributeCount = group->attributeCount, keyMask = 0;
    memset(w, 0, sizeof *w);
    w->response = block->response;
    w->size = block->responseSize;
    w->at = DMIAPI_ROW_HEADER_SIZE + attributeCount * DMIAPI_ROW_ENTRY_SIZE;
    if (w->at > w->size) {
        w->overflow = 1;
        return;
    }
    PutWord(w->response, 0x00, request->componentId);
    PutWord(w->response, 0x04, request->groupId);
    PutWord(w->response, 0x08, attributeCount);
    PutWord(w->response, 0x0C, DMIAPI_ROW_HEADER_SIZE);
    for (uint32_t a = 0; a < attributeCount; a++)
        keyMask |= group->attributes[a].isKey ? 1u << a : 0;
    PutWord(w->response, 0x10, keyMask);
}

/* One attribute; `value` is NULL for an attribute without a value. */
static void RowPut(RowWriter *w, uint32_t id, uint32_t type, uint32_t number, const char *text, uint32_t length)
{
    uint32_t entry = DMIAPI_ROW_HEADER_SIZE + w->entries++ * DMIAPI_ROW_ENTRY_SIZE;
    if (w->overflow)
        return;
    if (type == DMI_TYPE_STRING) {
        uint32_t next = DmiStringPut(w->response, w->size, w->at, text, length);
        if (!next) {
            w->overflow = 1;
            return;
        }
        number = w->at;
        w->at = next;
    }
    if (type)
        w->withValue++;
    PutWord(w->response, entry, id);
    PutWord(w->response, entry + 4, type);
    PutWord(w->response, entry + 8, number);
}

static uint32_t RowEnd(RowWriter *w, uint32_t *count)
{
    *count = 0;
    if (w->overflow)
        return DMIAPI_STATUS_RESPONSE_TOO_SMALL;
    if (!w->withValue)
        return DMIAPI_STATUS_NO_SUCH_ROW;
    *count = 1;
    return 0;
}

static int ValueMatches(const DbAttribute *attribute, const DbValue *value, const AttributeValue *key)
{
    if (key->dataType != attribute->dataType)
        return 0;
    if (key->dataType == DMI_TYPE_COUNTER)
        return memcmp(key->value, &value->number, 4) == 0;
    uint32_t length;
    memcpy(&length, key->value, 4);
    return length == value->text.length && memcmp((const char *)key->value + 4, value->text.chars, length) == 0;
}

/* Index of the row named by the keys, or -1. */
static int FindStaticRow(const Component *c, const DbGroup *g, const RowRequest *request)
{
    for (uint32_t r = 0; r < g->rowCount && request->keyCount; r++) {
        const DbValue *row = &c->values[g->firstValue + r * g->attributeCount];
        int matches = 1;
        for (uint32_t k = 0; k < request->keyCount && matches; k++) {
            matches = 0;
            for (uint32_t a = 0; a < g->attributeCount; a++)
                if (g->attributes[a].id == request->keys[k].attributeId)
                    matches = ValueMatches(&g->attributes[a], &row[a], &request->keys[k]);
        }
        if (matches)
            return (int)r;
    }
    return -1;
}

static uint32_t StaticRow(DmiCommandBlock *block, const Component *c, const DbGroup *g, const RowRequest *request,
                          uint32_t *count)
{
    uint32_t row = 0;
    *count = 0;
    if (block->command == DMI_CMD_GET_NEXT_ROW) {
        int found = FindStaticRow(c, g, request);
        if (found < 0)
            return DMIAPI_STATUS_NO_SUCH_ROW;
        row = (uint32_t)found + 1;
    }
    if (row >= g->rowCount)
        return DMIAPI_STATUS_NO_SUCH_ROW;
    RowWriter w;
    const DbValue *values = &c->values[g->firstValue + row * g->attributeCount];
    RowBegin(&w, block, request, g);
    for (uint32_t a = 0; a < g->attributeCount; a++)
        RowPut(&w, g->attributes[a].id, g->attributes[a].dataType, values[a].number, values[a].text.chars,
               values[a].text.length);
    return RowEnd(&w, count);
}

/* The loaded instrumentation DLL of `name`, loading it on first use. */
static LoadedModule *InstrumentationModule(const char *name)
{
    LoadedModule *found = NULL;
    EnterCriticalSection(&g_moduleLock);
    for (int i = 0; i < g_moduleCount && !found; i++)
        if (_stricmp(g_modules[i].name, name) == 0)
            found = &g_modules[i];
    if (!found && g_moduleCount < MAX_MODULES) {
        HMODULE module = LoadLibraryA(name);
        DmiCiInvokeFn invoke = module ? (DmiCiInvokeFn)GetProcAddress(module, "DmiCiInvoke") : NULL;
        if (invoke) {
            found = &g_modules[g_moduleCount++];
            strcpy(found->name, name);
            found->module = module;
            found->invoke = invoke;
            found->cancel = (DmiCiCancelFn)GetProcAddress(module, "DmiCiCancel");
        } else if (module) {
            FreeLibrary(module);
        }
    }
    LeaveCriticalSection(&g_moduleLock);
    return found;
}

void CancelInstrumentation(void)
{
    EnterCriticalSection(&g_moduleLock);
    for (int i = 0; i < g_moduleCount; i++)
        if (g_modules[i].cancel)
            g_modules[i].cancel();
    LeaveCriticalSection(&g_moduleLock);
}

typedef struct ListedGroup {
    uint32_t componentId, groupId;
    const Component *component;
    uint32_t instrumented;
} ListedGroup;

static uint32_t ListComponents(DmiCommandBlock *block, uint32_t *status, uint32_t *count)
{
    const char *className;
    uint32_t classLength;
    if (block->blockLength < DMI_OFF_CLASS_STRING + 4 || !ResponseUsable(block) ||
        !DmiStringGet(block, block->blockLength, *DmiBlockWord(block, DMI_OFF_CLASS_STRING), &className,
                      &classLength))
        return DMIAPI_ERR_BAD_BLOCK;
    uint32_t ids[256], n = ListComponentIds(ids, 256), written = 0;
    uint32_t room = block->responseSize / DMIAPI_COMPONENT_ENTRY_SIZE;
    unsigned char *response = block->response;
    ListedGroup found[256];
    Component *loaded[256];
    uint32_t matches = 0, loadedCount = 0;
    *status = 0;
    for (uint32_t i = 0; i < n; i++) {
        Component *c = LoadComponent(ids[i]);
        if (!c)
            continue;
        loaded[loadedCount++] = c;
        if (classLength == 0) {
            found[matches++] = (ListedGroup){c->id, 0, c, 0};
            continue;
        }
        for (uint32_t g = 0; g < c->groupCount && matches < 256; g++)
            if (c->groups[g].className.length == classLength &&
                memcmp(c->groups[g].className.chars, className, classLength) == 0)
                found[matches++] = (ListedGroup){c->id, c->groups[g].id, c, c->groups[g].module[0] != 0};
    }
    if (matches > room)
        *status = DMIAPI_STATUS_RESPONSE_TOO_SMALL;
    written = matches < room ? matches : room;
    uint32_t at = written * DMIAPI_COMPONENT_ENTRY_SIZE;
    for (uint32_t i = 0; i < written; i++) {
        unsigned char *entry = response + i * DMIAPI_COMPONENT_ENTRY_SIZE;
        uint32_t next = DmiStringPut(response, block->responseSize, at, found[i].component->name.chars,
                                     found[i].component->name.length);
        memset(entry, 0, DMIAPI_COMPONENT_ENTRY_SIZE);
        PutWord(entry, 0, found[i].componentId);
        PutWord(entry, 4, found[i].groupId);
        PutWord(entry, 8, next ? at : 0);
        PutWord(entry, 12, found[i].component->groupCount);
        PutWord(entry, 16, found[i].instrumented);
        if (next)
            at = next;
    }
    for (uint32_t i = 0; i < loadedCount; i++)
        FreeComponent(loaded[i]);
    *count = written;
    return 0;
}

static uint32_t CommandOnComponent(DmiCommandBlock *block, uint32_t *status, uint32_t *count)
{
    RowRequest request;
    *count = 0;
    if (block->command <= DMI_CMD_LAST_COMPONENT_CODE) {
        if (block->blockLength < DMI_OFF_COMPONENT_ID + 4)
            return DMIAPI_ERR_BAD_BLOCK;
        request.componentId = *DmiBlockWord(block, DMI_OFF_COMPONENT_ID);
        request.groupId = block->blockLength >= DMI_OFF_GROUP_ID + 4 ? *DmiBlockWord(block, DMI_OFF_GROUP_ID) : 0;
    } else if (!ReadRowRequest(block, &request)) {
        return DMIAPI_ERR_BAD_BLOCK;
    }
    Component *c = LoadComponent(request.componentId);
    const DbGroup *g = c ? FindGroup(c, request.groupId) : NULL;
    if (!c) {
        *status = DMIAPI_STATUS_NO_SUCH_COMPONENT;
    } else if (!g) {
        *status = DMIAPI_STATUS_NO_SUCH_GROUP;
    } else if (g->module[0]) {
        LoadedModule *module = InstrumentationModule(g->module);
        if (!module) {
            *status = DMIAPI_STATUS_INSTRUMENTATION_FAILED;
        } else {
            g_serving = c;
            *status = module->invoke(block);
            g_serving = NULL;
            *count = *status == 0 ? 1 : 0;
        }
    } else if (block->command <= DMI_CMD_LAST_COMPONENT_CODE) {
        *status = DMIAPI_STATUS_UNSUPPORTED;
    } else {
        *status = StaticRow(block, c, g, &request, count);
    }
    FreeComponent(c);
    return 0;
}

uint32_t CarryOutComponentCommand(DmiCommandBlock *block, uint32_t *status, uint32_t *count)
{
    uint32_t result;
    EnterCriticalSection(&g_componentLock);
    if (block->command == DMI_CMD_LIST_COMPONENTS)
        result = ListComponents(block, status, count);
    else
        result = CommandOnComponent(block, status, count);
    LeaveCriticalSection(&g_componentLock);
    return result;
}

uint32_t __stdcall DmiCiServe(void *instrumentationRecord, DmiCommandBlock *block)
{
    InstrumentationRecord *record = instrumentationRecord;
    RowRequest request;
    uint32_t count = 0, status;
    if (!record || !block || block->signature != DMI_SIGNATURE)
        return DMIAPI_ERR_BAD_BLOCK;
    if (block->command < DMI_CMD_COMPONENT_FIRST || block->command > DMI_CMD_COMPONENT_LAST)
        return DMIAPI_ERR_BAD_BLOCK;
    if (block->command <= DMI_CMD_LAST_COMPONENT_CODE)
        return DMIAPI_STATUS_UNSUPPORTED;
    if (!ReadRowRequest(block, &request))
        return DMIAPI_ERR_BAD_BLOCK;
    CiGetRoutine get = block->command == DMI_CMD_GET_FIRST_ROW ? record->getValue : record->getNextValue;
    if (!get)
        return DMIAPI_ERR_BAD_BLOCK;

    Component *own = NULL;
    const Component *c = g_serving && g_serving->id == request.componentId ? g_serving
                                                                            : (own = LoadComponent(request.componentId));
    const DbGroup *g = c ? FindGroup(c, request.groupId) : NULL;
    if (!c || !g) {
        status = c ? DMIAPI_STATUS_NO_SUCH_GROUP : DMIAPI_STATUS_NO_SUCH_COMPONENT;
    } else {
        RowWriter w;
        uint32_t keyCount = block->command == DMI_CMD_GET_FIRST_ROW ? 0 : request.keyCount;
        status = 0;
        RowBegin(&w, block, &request, g);
        for (uint32_t a = 0; a < g->attributeCount && !status; a++) {
            if (record->cancelFlag) {
                status = DMIAPI_STATUS_CANCELLED;
                break;
            }
            /* Values live in the instrumentation's shared buffers: each is copied at once. */
            AttributeValue *v = get(request.componentId, request.groupId, g->attributes[a].id, keyCount,
                                    keyCount ? request.keys : NULL);
            uint32_t number = 0, length = 0;
            if (!v || !v->value || (v->dataType != DMI_TYPE_STRING && v->dataType != DMI_TYPE_COUNTER)) {
                RowPut(&w, g->attributes[a].id, 0, 0, NULL, 0);
                continue;
            }
            memcpy(v->dataType == DMI_TYPE_STRING ? &length : &number, v->value, 4);
            RowPut(&w, g->attributes[a].id, v->dataType, number, (const char *)v->value + 4, length);
        }
        if (!status)
            status = RowEnd(&w, &count);
    }
    FreeComponent(own);
    block->returnedCount = count;
    return status;
}
