/* The instrumentation's entry points, the component-to-handle table, the
 * contexts per management handle and the access routines. */
#ifndef REQUEST_DISPATCH_H
#define REQUEST_DISPATCH_H

#include "component_context.h"
#include "dmi_command_block.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ROKIN_TABLE_SLOTS 256
#define ROKIN_REFUSED 0x00010003u

typedef struct ComponentSlot {
    uint32_t componentId; /* 0: empty */
    uint32_t handle;
} ComponentSlot;

extern ComponentSlot ComponentHandleTable[ROKIN_TABLE_SLOTS];

uint32_t __stdcall DmiCiInvoke(DmiCommandBlock *block);
uint32_t __stdcall DmiCiCancel(void);

ComponentContext *FindContext(uint32_t componentId);

AttributeValue *__stdcall RokinGetValue(uint32_t componentId, uint32_t groupId, uint32_t attributeId,
                                        uint32_t keyCount, AttributeValue *keys);
AttributeValue *__stdcall RokinGetNextValue(uint32_t componentId, uint32_t groupId, uint32_t attributeId,
                                            uint32_t keyCount, AttributeValue *keys);
uint32_t __stdcall RokinRoutine3(uint32_t componentId, uint32_t groupId, uint32_t attributeId, uint32_t keyCount,
                                 AttributeValue *keys, uint32_t extra);
uint32_t __stdcall RokinRoutine4(uint32_t componentId, uint32_t groupId, uint32_t attributeId, uint32_t keyCount,
                                 AttributeValue *keys, uint32_t extra);
uint32_t __stdcall RokinRoutine5(uint32_t componentId, uint32_t groupId, uint32_t attributeId, uint32_t keyCount,
                                 AttributeValue *keys, uint32_t extra);

#ifdef __cplusplus
}
#endif

#endif
