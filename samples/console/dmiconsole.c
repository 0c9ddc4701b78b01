/* dmiconsole: a small management application. It loads VELKDLL.dll in place of
 * the service layer's DMIAPI.DLL, registers with the DMI service layer of this
 * machine (or of a named node), issues one command on the new handle,
 * unregisters, and prints every confirmation as it arrives.
 *
 * With -l it lists the components instead (those carrying a group of CLASS, when
 * given), and with -r the rows of one group of a component, one line a row.
 *
 *   dmiconsole [-n NODE] [-p PROTOCOL_INDEX] [-c COMMAND | -l [CLASS] | -r COMPONENT [-g GROUP]]
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dmi_string.h"
#include "velkdll.h"

enum {
    CONFIRMATION_WAIT_MS = 10000,
    BLOCK_SIZE = 4096,
    RESPONSE_SIZE = 8192,
    NODE_RECORD_OFFSET = 0x50,
    CLASS_OFFSET = 0x50,
    COMPONENT_ENTRY_SIZE = 28,
    KEYS_OFFSET = 0x54,
    MAX_ROW_ATTRIBUTES = 32,
};

static unsigned char g_blockBytes[BLOCK_SIZE], g_response[RESPONSE_SIZE];

static HANDLE g_confirmed;

static const char *CommandName(uint32_t command)
{
    switch (command) {
    case DMI_CMD_REGISTER:
        return "register";
    case DMI_CMD_REGISTER_AT_NODE:
        return "register at node";
    case DMI_CMD_UNREGISTER:
        return "unregister";
    case DMI_CMD_CANCEL:
        return "cancel";
    default:
        return "command";
    }
}

/* "register (256)", "register at node (0x80B7C100)". */
static const char *Describe(uint32_t command, char *buffer, size_t size)
{
    snprintf(buffer, size, command > 0xFFFF ? "%s (0x%08X)" : "%s (%u)", CommandName(command), command);
    return buffer;
}

static void PrintResponseString(const DmiCommandBlock *block, uint32_t wordOffset, const char *label)
{
    uint32_t offset;
    const char *text;
    uint32_t length;
    memcpy(&offset, (const char *)block->response + wordOffset, 4);
    if (offset && DmiStringGet(block->response, block->responseSize, offset, &text, &length))
        printf("    %s \"%.*s\"\n", label, (int)length, text);
}

/* The confirmation callback runs on a thread of the service layer or transport,
 * possibly before DmiInvoke has returned: it only hands the block back. */
static void __stdcall OnConfirmation(DmiCommandBlock *block)
{
    SetEvent(g_confirmed);
}

static void PrintConfirmation(const DmiCommandBlock *block)
{
    char name[48];
    printf("  confirmation: %s  status %u  returned %u  handle 0x%08X\n", Describe(block->command, name, sizeof name),
           block->completionStatus, block->returnedCount, block->handle);
    if (block->command == DMI_CMD_REGISTER || block->command == DMI_CMD_REGISTER_AT_NODE) {
        PrintResponseString(block, 0, "DMI level");
        PrintResponseString(block, 4, "implementation");
    }
}

/* Sends the block and waits for its confirmation; returns 0 when both happened. */
static int InvokeAndWait(DmiCommandBlock *block)
{
    char what[48];
    Describe(block->command, what, sizeof what);
    uint32_t result = DmiInvoke(block);
    if (result != 0) {
        printf("%s: refused with result %u\n", what, result);
        return 1;
    }
    printf("%s: accepted\n", what);
    if (WaitForSingleObject(g_confirmed, CONFIRMATION_WAIT_MS) != WAIT_OBJECT_0) {
        printf("%s: no confirmation within %u s\n", what, CONFIRMATION_WAIT_MS / 1000);
        return 1;
    }
    PrintConfirmation(block);
    return 0;
}

static void InitBlock(DmiCommandBlock *block, uint32_t command, uint32_t handle, void *response, uint32_t size)
{
    memset(block, 0, BLOCK_SIZE);
    block->signature = DMI_SIGNATURE;
    block->command = command;
    block->blockLength = DMI_REGISTRATION_BLOCK_SIZE;
    block->handle = handle;
    block->context = 1;
    block->reserved24 = 1;
    block->responseSize = size;
    block->response = response;
}

static int Usage(void)
{
    fprintf(stderr, "usage: dmiconsole [-n NODE] [-p INDEX] [-c CODE | -l [CLASS] | -r COMPONENT [-g GROUP]]\n"
                    "  -n NODE       register with the service layer of NODE (default: this machine)\n"
                    "  -p INDEX      transport protocol index for NODE (default 0)\n"
                    "  -c CODE       the command issued on the new handle (default 512)\n"
                    "  -l [CLASS]    list the components (that carry a group of CLASS)\n"
                    "  -r COMPONENT  print the rows of a group of the component, one line a row\n"
                    "  -g GROUP      the group for -r (default 3)\n");
    return 2;
}

static int ParseNumber(const char *text, uint32_t *value)
{
    char *end;
    unsigned long v = strtoul(text, &end, 0);
    if (!*text || *end)
        return 0;
    *value = (uint32_t)v;
    return 1;
}

/* Prints the components that carry a group of `className` (all when empty). */
static int ListComponents(DmiCommandBlock *block, uint32_t handle, const char *className)
{
    uint32_t length = (uint32_t)strlen(className);
    InitBlock(block, DMI_CMD_LIST_COMPONENTS, handle, g_response, sizeof g_response);
    block->blockLength = CLASS_OFFSET + 4 + length + 1;
    *DmiBlockWord(block, DMI_OFF_CLASS_STRING) = CLASS_OFFSET;
    DmiStringPut(g_blockBytes, sizeof g_blockBytes, CLASS_OFFSET, className, length);
    if (InvokeAndWait(block))
        return 1;
    uint32_t count = block->returnedCount;
    if (count > sizeof g_response / COMPONENT_ENTRY_SIZE)
        count = sizeof g_response / COMPONENT_ENTRY_SIZE;
    for (uint32_t i = 0; i < count; i++) {
        const unsigned char *entry = g_response + i * COMPONENT_ENTRY_SIZE;
        uint32_t id, group, nameOffset, nameLength;
        const char *name = "";
        memcpy(&id, entry, 4);
        memcpy(&group, entry + 4, 4);
        memcpy(&nameOffset, entry + 8, 4);
        if (!nameOffset || !DmiStringGet(g_response, sizeof g_response, nameOffset, &name, &nameLength))
            nameLength = 0;
        printf("component %u  group %u  \"%.*s\"\n", id, group, (int)nameLength, name);
    }
    printf("%u component(s)\n", block->returnedCount);
    return 0;
}

/* One attribute of a row as the service layer returns it: id, type, value. */
typedef struct RowAttribute {
    uint32_t id, type, value;
} RowAttribute;

/* The row in the response: attribute count at +8, first entry's offset at +0x0C,
 * key mask at +0x10. Returns the number of attributes, or -1 when malformed. */
static int ReadRow(RowAttribute *attributes, uint32_t *keyMask)
{
    uint32_t count, first;
    memcpy(&count, g_response + 8, 4);
    memcpy(&first, g_response + 0x0C, 4);
    memcpy(keyMask, g_response + 0x10, 4);
    if (count > MAX_ROW_ATTRIBUTES || !DmiRangeInside(sizeof g_response, first, count * sizeof(RowAttribute)))
        return -1;
    memcpy(attributes, g_response + first, count * sizeof(RowAttribute));
    return (int)count;
}

static void PrintRow(const RowAttribute *attributes, int count)
{
    const char *text;
    uint32_t length;
    printf(" ");
    for (int i = 0; i < count; i++) {
        if (attributes[i].type == DMI_TYPE_COUNTER)
            printf(" %u", attributes[i].value);
        else if (attributes[i].type == DMI_TYPE_STRING &&
                 DmiStringGet(g_response, sizeof g_response, attributes[i].value, &text, &length))
            printf(" \"%.*s\"", (int)length, text);
        else
            printf(" -");
    }
    printf("\n");
}

/* Names the row just read by its key attributes, as the next-row command takes them. */
static int PutRowKeys(DmiCommandBlock *block, const RowAttribute *attributes, int count, uint32_t keyMask)
{
    uint32_t keys = 0, at;
    for (int i = 0; i < count; i++)
        keys += (keyMask >> i) & 1;
    at = KEYS_OFFSET + keys * sizeof(BlockKeyEntry);
    BlockKeyEntry *entry = (BlockKeyEntry *)(g_blockBytes + KEYS_OFFSET);
    for (int i = 0; i < count; i++) {
        if (!((keyMask >> i) & 1))
            continue;
        entry->attributeId = attributes[i].id;
        entry->dataType = attributes[i].type;
        entry->valueOffset = at;
        if (attributes[i].type == DMI_TYPE_COUNTER) {
            if (!DmiRangeInside(sizeof g_blockBytes, at, 4))
                return 0;
            memcpy(g_blockBytes + at, &attributes[i].value, 4);
            at += 4;
        } else {
            const char *text;
            uint32_t length;
            if (!DmiStringGet(g_response, sizeof g_response, attributes[i].value, &text, &length) ||
                !(at = DmiStringPut(g_blockBytes, sizeof g_blockBytes, at, text, length)))
                return 0;
        }
        entry++;
    }
    block->blockLength = at;
    *DmiBlockWord(block, DMI_OFF_KEY_COUNT) = keys;
    *DmiBlockWord(block, DMI_OFF_KEY_LIST) = keys ? KEYS_OFFSET : 0;
    return 1;
}

/* Prints every row of a group: the first row, then the row after each, until none. */
static int PrintRows(DmiCommandBlock *block, uint32_t handle, uint32_t component, uint32_t group)
{
    RowAttribute attributes[MAX_ROW_ATTRIBUTES];
    uint32_t keyMask = 0, rows = 0;
    int count = 0;
    printf("rows of component %u, group %u:\n", component, group);
    for (;;) {
        InitBlock(block, rows ? DMI_CMD_GET_NEXT_ROW : DMI_CMD_GET_FIRST_ROW, handle, g_response, sizeof g_response);
        block->blockLength = KEYS_OFFSET;
        *DmiBlockWord(block, DMI_OFF_COMPONENT_ID) = component;
        *DmiBlockWord(block, DMI_OFF_GROUP_ID) = group;
        if (rows && !PutRowKeys(block, attributes, count, keyMask)) {
            printf("the row's keys do not fit a command block\n");
            return 1;
        }
        uint32_t result = DmiInvoke(block);
        if (result != 0) {
            printf("row request refused with result %u\n", result);
            return 1;
        }
        if (WaitForSingleObject(g_confirmed, CONFIRMATION_WAIT_MS) != WAIT_OBJECT_0) {
            printf("row request: no confirmation within %u s\n", CONFIRMATION_WAIT_MS / 1000);
            return 1;
        }
        if (block->completionStatus != 0)
            break; /* no further row, or the component has no such group */
        if ((count = ReadRow(attributes, &keyMask)) < 0) {
            printf("malformed row in the response\n");
            return 1;
        }
        PrintRow(attributes, count);
        rows++;
    }
    printf("%u row(s); the last request ended with status 0x%X\n", rows, block->completionStatus);
    return 0;
}

int main(int argc, char **argv)
{
    enum { ISSUE_COMMAND, LIST_COMPONENTS, PRINT_ROWS } action = ISSUE_COMMAND;
    const char *node = NULL, *className = "";
    uint32_t protocolIndex = 0, command = 512, component = 0, group = 3;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-l")) {
            action = LIST_COMPONENTS;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                className = argv[++i];
        } else if (i + 1 >= argc) {
            return Usage();
        } else if (!strcmp(argv[i], "-n")) {
            node = argv[++i];
        } else if (!strcmp(argv[i], "-p") && ParseNumber(argv[i + 1], &protocolIndex)) {
            i++;
        } else if (!strcmp(argv[i], "-c") && ParseNumber(argv[i + 1], &command)) {
            i++;
        } else if (!strcmp(argv[i], "-r") && ParseNumber(argv[i + 1], &component)) {
            action = PRINT_ROWS;
            i++;
        } else if (!strcmp(argv[i], "-g") && ParseNumber(argv[i + 1], &group)) {
            i++;
        } else {
            return Usage();
        }
    }
    if (node && (strlen(node) == 0 || strlen(node) > DMI_NODE_NAME_MAX)) {
        fprintf(stderr, "dmiconsole: a node name has 1 to %u characters\n", DMI_NODE_NAME_MAX);
        return 2;
    }
    if (strlen(className) > BLOCK_SIZE - CLASS_OFFSET - 5) {
        fprintf(stderr, "dmiconsole: the class name is too long\n");
        return 2;
    }

    g_confirmed = CreateEventA(NULL, FALSE, FALSE, NULL);
    DmiCommandBlock *block = (DmiCommandBlock *)g_blockBytes;

    printf("dmiconsole: the DMI service layer of %s, through VELKDLL.dll\n", node ? node : "this machine");
    InitBlock(block, DMI_CMD_REGISTER, 0, g_response, sizeof g_response);
    block->confirmCallback = OnConfirmation;
    if (node) {
        uint32_t length = (uint32_t)strlen(node);
        block->command = DMI_CMD_REGISTER_AT_NODE;
        block->blockLength = NODE_RECORD_OFFSET + 4 + length;
        *DmiBlockWord(block, DMI_OFF_NODE_NAME_OFFSET) = NODE_RECORD_OFFSET;
        *DmiBlockWord(block, DMI_OFF_PROTOCOL_INDEX) = protocolIndex;
        *DmiBlockWord(block, NODE_RECORD_OFFSET) = length;
        memcpy(g_blockBytes + NODE_RECORD_OFFSET + 4, node, length);
    }
    if (InvokeAndWait(block) || block->completionStatus != 0)
        return 1;
    uint32_t handle;
    memcpy(&handle, g_response + DMI_RESPONSE_HANDLE_OFFSET, 4);

    int failed;
    if (action == LIST_COMPONENTS) {
        failed = ListComponents(block, handle, className);
    } else if (action == PRINT_ROWS) {
        failed = PrintRows(block, handle, component, group);
    } else {
        InitBlock(block, command, handle, g_response, sizeof g_response);
        failed = InvokeAndWait(block);
    }

    InitBlock(block, DMI_CMD_UNREGISTER, handle, g_response, sizeof g_response);
    failed |= InvokeAndWait(block);
    return failed;
}
