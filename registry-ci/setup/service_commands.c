/* The command blocks rokinsu sends to the service layer, and the wait for their
 * confirmations. */
#include <string.h>

#include "dmi_string.h"
#include "rokin_setup.h"

/* The service layer's entry, imported by ordinal 1. */
uint32_t __stdcall DmiInvoke(DmiCommandBlock *block);

SetupState g_setup;

/* The command's offset of 0x50: the class string of 513, a result word of 773/774. */
#define OFF_CLASS_STRING_TEXT 0x50u

void __stdcall CommandDone(DmiCommandBlock *block)
{
    atomic_store(&g_setup.doneFlag, 1);
}

uint32_t InvokeAndWait(void)
{
    DmiCommandBlock *block = (DmiCommandBlock *)g_setup.block;
    atomic_store(&g_setup.doneFlag, 0);
    uint32_t result = DmiInvoke(block);
    if (result)
        return result;
    while (!atomic_load(&g_setup.doneFlag))
        Sleep(1);
    return block->completionStatus;
}

static uint32_t *Word(uint32_t offset)
{
    return DmiBlockWord((DmiCommandBlock *)g_setup.block, offset);
}

/* The header every block carries; words a command does not set keep their values. */
static void FillHeader(uint32_t command, uint32_t length, uint32_t handle, int withResponse)
{
    DmiCommandBlock *block = (DmiCommandBlock *)g_setup.block;
    block->signature = DMI_SIGNATURE;
    block->command = command;
    block->blockLength = length;
    block->handle = handle;
    block->context = 1;
    block->reserved14 = 0;
    block->reserved18 = 0;
    block->responseSize = withResponse ? SETUP_RESPONSE_SIZE : 0;
    block->response = withResponse ? g_setup.response : NULL;
    block->reserved24 = 1;
}

void FillRegisterBlock(void)
{
    DmiCommandBlock *block = (DmiCommandBlock *)g_setup.block;
    FillHeader(DMI_CMD_REGISTER, DMI_REGISTRATION_BLOCK_SIZE, 0, 1);
    block->confirmCallback = CommandDone;
    block->secondCallback = NULL;
}

void FillListBlock(void)
{
    FillHeader(DMI_CMD_LIST_COMPONENTS, SETUP_BLOCK_SIZE, g_setup.mgmtHandle, 1);
    *Word(DMI_OFF_CLASS_STRING) = OFF_CLASS_STRING_TEXT;
    *Word(0x48) = 0;
    *Word(0x4C) = 0;
    DmiStringPut(g_setup.block, SETUP_BLOCK_SIZE, OFF_CLASS_STRING_TEXT, ROKIN_GROUP_CLASS,
                 sizeof ROKIN_GROUP_CLASS - 1);
}

void FillUnregisterBlock(void)
{
    FillHeader(DMI_CMD_UNREGISTER, SETUP_BLOCK_SIZE, g_setup.mgmtHandle, 0);
}

static void FillRowBlock(uint32_t command, uint32_t componentId, uint32_t keyCount, uint32_t keyListOffset)
{
    FillHeader(command, SETUP_BLOCK_SIZE, g_setup.mgmtHandle, 1);
    *Word(DMI_OFF_COMPONENT_ID) = componentId;
    *Word(DMI_OFF_GROUP_ID) = ROKIN_KEY_LIST_GROUP;
    *Word(DMI_OFF_KEY_COUNT) = keyCount;
    *Word(DMI_OFF_KEY_LIST) = keyListOffset;
    *Word(0x50) = 0;
}

/* Runs the row command in the block and takes the row's key path into lastKey. */
static uint32_t ReadKeyRow(void)
{
    uint32_t status = InvokeAndWait();
    if (status)
        return status;
    uint32_t at;
    const char *text;
    uint32_t length;
    memcpy(&at, g_setup.response + 0x1C, 4);
    if (at == 0 || !DmiStringGet(g_setup.response, SETUP_RESPONSE_SIZE, at, &text, &length))
        return ERROR_INVALID_DATA;
    g_setup.lastKey.length = length;
    memcpy(g_setup.lastKey.chars, text, length);
    g_setup.lastKey.chars[length] = 0;
    return 0;
}

uint32_t ReadFirstKeyRow(uint32_t componentId)
{
    FillRowBlock(DMI_CMD_GET_FIRST_ROW, componentId, 0, 0);
    return ReadKeyRow();
}

uint32_t ReadNextKeyRow(uint32_t componentId)
{
    uint32_t length = g_setup.lastKey.length;
    if (length > SETUP_KEY_MAX)
        return ERROR_INVALID_DATA; /* the key does not fit the block */
    uint32_t value = SETUP_KEY_LIST_OFFSET - ((length + 6 + 3) & ~3u);
    FillRowBlock(DMI_CMD_GET_NEXT_ROW, componentId, 1, SETUP_KEY_LIST_OFFSET);
    *Word(SETUP_KEY_LIST_OFFSET) = 1;
    *Word(SETUP_KEY_LIST_OFFSET + 4) = DMI_TYPE_STRING;
    *Word(SETUP_KEY_LIST_OFFSET + 8) = value;
    *Word(value) = length;
    memcpy(g_setup.block + value + 4, g_setup.lastKey.chars, length);
    g_setup.block[value + 4 + length] = 0;
    return ReadKeyRow();
}
