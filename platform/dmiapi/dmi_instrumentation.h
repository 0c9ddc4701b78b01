/* The interface between the service layer and direct-interface component
 * instrumentation: the InstrumentationRecord an instrumentation hands to the
 * service layer's instrumentation entry (DMIAPI.DLL ordinal 4), the access
 * routines in it, and the AttributeValue records those routines answer with. */
#ifndef DMI_INSTRUMENTATION_H
#define DMI_INSTRUMENTATION_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One attribute value: the value is a DmiString (type 8) or a 32-bit number (type 1). */
typedef struct AttributeValue {
    uint32_t attributeId;
    uint32_t dataType;
    void *value;
} AttributeValue;

/* Get the value of one attribute of a row (slot 1), or of the row after it (slot 2).
 * The row is named by `keyCount` entries of `keys`; 0 keys name the first row.
 * Result: an AttributeValue valid until the next call, or 0 for no value. */
typedef AttributeValue *(__stdcall *CiGetRoutine)(uint32_t componentId, uint32_t groupId, uint32_t attributeId,
                                                  uint32_t keyCount, AttributeValue *keys);
/* Slots 3 to 5: the five arguments above and one more. */
typedef uint32_t(__stdcall *CiOtherRoutine)(uint32_t componentId, uint32_t groupId, uint32_t attributeId,
                                            uint32_t keyCount, AttributeValue *keys, uint32_t extra);

typedef struct InstrumentationRecord {
    uint32_t serviceWords[3];    /* +0x00 the service layer's own */
    uint32_t cancelFlag;         /* +0x0C 1: the command is to be abandoned */
    uint32_t serviceWords2[3];   /* +0x10 */
    AttributeValue *valueArea;   /* +0x1C */
    uint32_t valueAreaCount;     /* +0x20 */
    CiGetRoutine getValue;       /* +0x24 slot 1 */
    CiGetRoutine getNextValue;   /* +0x28 slot 2 */
    CiOtherRoutine routine3;     /* +0x2C */
    CiOtherRoutine routine4;     /* +0x30 */
    CiOtherRoutine routine5;     /* +0x34 */
    uint32_t serviceWords3[3];   /* +0x38 */
} InstrumentationRecord;

static_assert(sizeof(AttributeValue) == 12, "AttributeValue");
static_assert(offsetof(InstrumentationRecord, cancelFlag) == 0x0C, "cancelFlag");
static_assert(offsetof(InstrumentationRecord, valueArea) == 0x1C, "valueArea");
static_assert(offsetof(InstrumentationRecord, getValue) == 0x24, "routines");
static_assert(sizeof(InstrumentationRecord) == 68, "InstrumentationRecord");

/* Exports of a direct-interface instrumentation DLL, looked up by name. */
typedef uint32_t(__stdcall *DmiCiInvokeFn)(void *block);
typedef uint32_t(__stdcall *DmiCiCancelFn)(void);

#ifdef __cplusplus
}
#endif

#endif
