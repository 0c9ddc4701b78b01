/* The DMI command block: the fixed-layout unit of work exchanged with the DMI
 * service layer, management applications and remote nodes. */
#ifndef DMI_COMMAND_BLOCK_H
#define DMI_COMMAND_BLOCK_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DMI_SIGNATURE 0x444D4931u /* "DMI1", bytes 31 49 4D 44 in memory */

/* Command codes. */
enum {
    DMI_CMD_REGISTER = 256,
    DMI_CMD_UNREGISTER = 257,
    DMI_CMD_CANCEL = 258,
    DMI_CMD_LIST_COMPONENTS = 513,
    DMI_CMD_COMPONENT_FIRST = 768,
    DMI_CMD_GET_FIRST_ROW = 773,
    DMI_CMD_GET_NEXT_ROW = 774,
    DMI_CMD_COMPONENT_LAST = 774,
    DMI_CMD_UNTRACKED_1026 = 1026,
    DMI_CMD_UNTRACKED_1027 = 1027,
};
#define DMI_CMD_REGISTER_AT_NODE 0x80B7C100u /* router-private */

/* The router's own result codes; results of a service layer pass unchanged. */
enum {
    DMI_OK = 0,
    DMI_ERR_NO_MEMORY = 8,
    DMI_ERR_BAD_ARGUMENT = 87,           /* null block, registration without response room */
    DMI_ERR_NO_SUCH_REGISTRATION = 514,  /* cancel: nothing connecting with this context */
    DMI_ERR_BAD_HANDLE = 515,
    DMI_ERR_BAD_NODE_NAME = 518,
    DMI_ERR_CANCELLED = 522,
    DMI_ERR_NO_CONNECTION = 529,
};

struct DmiCommandBlock;
typedef void(__stdcall *DmiConfirmCallback)(struct DmiCommandBlock *block);
typedef uint32_t(__stdcall *DmiSecondCallback)(uint32_t value);

/* Header common to every command, followed by the two callback words of a
 * registration; further command-specific words are reached with DmiBlockWord. */
typedef struct DmiCommandBlock {
    uint32_t signature;          /* +0x00 */
    uint32_t command;            /* +0x04 */
    uint32_t blockLength;        /* +0x08 whole block, command-specific part included */
    uint32_t handle;             /* +0x0C management handle, 0 if none */
    uint32_t context;            /* +0x10 the application's value, returned unchanged */
    uint32_t reserved14;         /* +0x14 */
    uint32_t reserved18;         /* +0x18 */
    uint32_t responseSize;       /* +0x1C */
    void *response;              /* +0x20 */
    uint32_t reserved24;         /* +0x24 */
    uint32_t returnedCount;      /* +0x28 */
    uint32_t completionStatus;   /* +0x2C */
    uint32_t reserved30[4];      /* +0x30 */
    DmiConfirmCallback confirmCallback; /* +0x40 registration */
    DmiSecondCallback secondCallback;   /* +0x44 registration */
} DmiCommandBlock;

#define DMI_REGISTRATION_BLOCK_SIZE 72u
#define DMI_REGISTRATION_RESPONSE_MIN 12u /* the handle is the word at +8 */
#define DMI_RESPONSE_HANDLE_OFFSET 8u

/* Command-specific word offsets beyond the registration's callbacks. */
#define DMI_OFF_NODE_NAME_OFFSET 0x48u /* 0x80B7C100 */
#define DMI_OFF_PROTOCOL_INDEX 0x4Cu   /* 0x80B7C100 */
#define DMI_OFF_COMPONENT_ID 0x40u     /* 768..774 */
#define DMI_OFF_GROUP_ID 0x44u         /* 773, 774 */
#define DMI_OFF_KEY_COUNT 0x48u        /* 773, 774 */
#define DMI_OFF_KEY_LIST 0x4Cu         /* 773, 774 */
#define DMI_OFF_CLASS_STRING 0x44u     /* 513 */
#define DMI_REMOTE_REGISTRATION_MIN 0x50u /* through the protocol index */

#define DMI_NODE_NAME_MAX 63u

/* A row key named by a command: attribute id, data type, value offset in the block. */
typedef struct BlockKeyEntry {
    uint32_t attributeId;
    uint32_t dataType;
    uint32_t valueOffset;
} BlockKeyEntry;

enum { DMI_TYPE_COUNTER = 1, DMI_TYPE_STRING = 8 };

static_assert(sizeof(void *) == 4, "the block layout is that of 32-bit Windows");
static_assert(offsetof(DmiCommandBlock, command) == 0x04, "command");
static_assert(offsetof(DmiCommandBlock, blockLength) == 0x08, "blockLength");
static_assert(offsetof(DmiCommandBlock, handle) == 0x0C, "handle");
static_assert(offsetof(DmiCommandBlock, context) == 0x10, "context");
static_assert(offsetof(DmiCommandBlock, responseSize) == 0x1C, "responseSize");
static_assert(offsetof(DmiCommandBlock, response) == 0x20, "response");
static_assert(offsetof(DmiCommandBlock, returnedCount) == 0x28, "returnedCount");
static_assert(offsetof(DmiCommandBlock, completionStatus) == 0x2C, "completionStatus");
static_assert(offsetof(DmiCommandBlock, confirmCallback) == 0x40, "confirmCallback");
static_assert(offsetof(DmiCommandBlock, secondCallback) == 0x44, "secondCallback");
static_assert(sizeof(DmiCommandBlock) == DMI_REGISTRATION_BLOCK_SIZE, "registration block");
static_assert(sizeof(BlockKeyEntry) == 12, "BlockKeyEntry");

/* The 32-bit word at a byte offset of the block; the caller has checked that
 * blockLength covers offset + 4. */
static inline uint32_t *DmiBlockWord(DmiCommandBlock *block, uint32_t offset)
{
    return (uint32_t *)((unsigned char *)block + offset);
}

/* True when [offset, offset + size) lies inside a region of `length` bytes. */
static inline int DmiRangeInside(uint32_t length, uint32_t offset, uint32_t size)
{
    return offset <= length && size <= length - offset;
}

#ifdef __cplusplus
}
#endif

#endif
