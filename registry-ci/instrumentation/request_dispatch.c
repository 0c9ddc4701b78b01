/* DmiCiInvoke and DmiCiCancel, the component-to-handle table, the contexts per
 * management handle, and the access routines the service layer calls back. */
#include "request_dispatch.h"

#include <string.h>

#include "dmiapi.h"
#include "row_walk.h"
#include "value_mapping.h"

ComponentSlot ComponentHandleTable[ROKIN_TABLE_SLOTS];

static ComponentContext *g_contextHead, *g_contextTail;

enum { GROUP_REGISTRY_VALUES = 3, ROW_KEY_COUNT = 3 };

ComponentContext *FindContext(uint32_t componentId)
{
    uint32_t handle = 0;
    int found = 0;
    for (int i = 0; i < ROKIN_TABLE_SLOTS && ComponentHandleTable[i].componentId; i++)
        if (ComponentHandleTable[i].componentId == componentId) {
            handle = ComponentHandleTable[i].handle;
            found = 1;
            break;
        }
    if (!found)
        return NULL;
    for (ComponentContext *ctx = g_contextHead; ctx; ctx = ctx->next)
        if (ctx->ownerHandle == handle)
            return ctx;
    ComponentContext *ctx = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *ctx);
    if (!ctx)
        return NULL;
    ctx->ownerHandle = handle;
    ctx->prev = g_contextTail;
    if (g_contextTail)
        g_contextTail->next = ctx;
    else
        g_contextHead = ctx;
    g_contextTail = ctx;
    return ctx;
}

uint32_t __stdcall DmiCiInvoke(DmiCommandBlock *block)
{
    if (!block)
        return ROKIN_REFUSED;
    uint32_t command = block->command, componentId = 0;
    if (command >= DMI_CMD_COMPONENT_FIRST && command <= DMI_CMD_COMPONENT_LAST &&
        block->blockLength >= DMI_OFF_COMPONENT_ID + 4)
        componentId = *DmiBlockWord(block, DMI_OFF_COMPONENT_ID);
    if (!componentId)
        return ROKIN_REFUSED;

    int slot = 0;
    while (slot < ROKIN_TABLE_SLOTS && ComponentHandleTable[slot].componentId &&
           ComponentHandleTable[slot].componentId != componentId)
        slot++;
    if (slot == ROKIN_TABLE_SLOTS)
        return ROKIN_REFUSED;
    ComponentHandleTable[slot].componentId = componentId;
    ComponentHandleTable[slot].handle = block->handle;

    ComponentContext *ctx = FindContext(componentId);
    if (!ctx)
        return DMI_ERR_NO_MEMORY;
    InstrumentationRecord *record = &ctx->record;
    record->getValue = RokinGetValue;
    record->getNextValue = RokinGetNextValue;
    record->routine3 = RokinRoutine3;
    record->routine4 = RokinRoutine4;
    record->routine5 = RokinRoutine5;
    record->valueAreaCount = 3;
    record->valueArea = ctx->resultArea;
    record->cancelFlag = 0;
    return DmiCiServe(record, block);
}

uint32_t __stdcall DmiCiCancel(void)
{
    for (ComponentContext *ctx = g_contextHead; ctx; ctx = ctx->next)
        ctx->record.cancelFlag = 1;
    return 0;
}

AttributeValue *__stdcall RokinGetValue(uint32_t componentId, uint32_t groupId, uint32_t attributeId,
                                        uint32_t keyCount, AttributeValue *keys)
{
    char subPath[ROKIN_TEXT_SIZE], valueName[ROKIN_TEXT_SIZE];
    if (groupId != GROUP_REGISTRY_VALUES)
        return NULL;
    ComponentContext *ctx = FindContext(componentId);
    if (!ctx)
        return NULL;
    const AttributeValue *row;
    if (keyCount == 0) {
        /* Attribute 1 of the first row reads the configuration again. */
        if (attributeId == ATTR_KEY_PATH)
            ctx->firstRowValid = 0;
        KeyList *first = FindFirstRow(ctx, componentId);
        if (!first)
            return NULL;
        row = first->entries;
    } else if (keyCount < ROW_KEY_COUNT || !keys) {
        return NULL;
    } else {
        row = keys;
    }
    if (!ReadRowValue(ctx, row, subPath, valueName))
        return NULL;
    return ProduceAttributeValue(ctx, attributeId, subPath, valueName);
}

AttributeValue *__stdcall RokinGetNextValue(uint32_t componentId, uint32_t groupId, uint32_t attributeId,
                                            uint32_t keyCount, AttributeValue *keys)
{
    /* Without a row to continue from there is no next row. */
    if (keyCount < ROW_KEY_COUNT || !keys)
        return NULL;
    ComponentContext *ctx = FindContext(componentId);
    if (!ctx)
        return NULL;
    if (!ctx->rootPath[0]) {
        const uint32_t *path = keys[0].value;
        char fullPath[ROKIN_TEXT_SIZE];
        if (!path || path[0] >= ROKIN_TEXT_SIZE)
            return NULL;
        memcpy(fullPath, path + 1, path[0]);
        fullPath[path[0]] = 0;
        if (!SelectRootFor(ctx, componentId, fullPath))
            return NULL;
    }
    KeyList *next = FindNextRow(ctx, componentId, keys);
    if (!next)
        return NULL;
    return RokinGetValue(componentId, groupId, attributeId, ROW_KEY_COUNT, next->entries);
}

/* Slots 3 to 5: the registry is served read-only. */
uint32_t __stdcall RokinRoutine3(uint32_t componentId, uint32_t groupId, uint32_t attributeId, uint32_t keyCount,
                                 AttributeValue *keys, uint32_t extra)
{
    return 1;
}

uint32_t __stdcall RokinRoutine4(uint32_t componentId, uint32_t groupId, uint32_t attributeId, uint32_t keyCount,
                                 AttributeValue *keys, uint32_t extra)
{
    return 1;
}

uint32_t __stdcall RokinRoutine5(uint32_t componentId, uint32_t groupId, uint32_t attributeId, uint32_t keyCount,
                                 AttributeValue *keys, uint32_t extra)
{
    return 0;
}
