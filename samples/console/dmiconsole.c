/* dmiconsole: a small management application. It loads VELKDLL.dll in place of
 * the service layer's DMIAPI.DLL, registers with the DMI service layer of this
 * machine (or of a named node), issues one command on the new handle,
 * unregisters, and prints every confirmation as it arrives.
 *
 *   dmiconsole [-n NODE] [-p PROTOCOL_INDEX] [-c COMMAND]
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dmi_string.h"
#include "velkdll.h"

enum { CONFIRMATION_WAIT_MS = 10000, BLOCK_SIZE = 160, NODE_RECORD_OFFSET = 0x50 };

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
        PrintResponseString(block, 0, "specification level");
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
    fprintf(stderr, "usage: dmiconsole [-n NODE] [-p PROTOCOL_INDEX] [-c COMMAND]\n"
                    "  -n NODE   register with the service layer of NODE (default: this machine)\n"
                    "  -p INDEX  transport protocol index for NODE (default 0)\n"
                    "  -c CODE   the command issued on the new handle (default 512)\n");
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

int main(int argc, char **argv)
{
    const char *node = NULL;
    uint32_t protocolIndex = 0, command = 512;
    for (int i = 1; i < argc; i++) {
        if (i + 1 >= argc)
            return Usage();
        if (!strcmp(argv[i], "-n"))
            node = argv[++i];
        else if (!strcmp(argv[i], "-p") && ParseNumber(argv[i + 1], &protocolIndex))
            i++;
        else if (!strcmp(argv[i], "-c") && ParseNumber(argv[i + 1], &command))
            i++;
        else
            return Usage();
    }
    if (node && (strlen(node) == 0 || strlen(node) > DMI_NODE_NAME_MAX)) {
        fprintf(stderr, "dmiconsole: a node name has 1 to %u characters\n", DMI_NODE_NAME_MAX);
        return 2;
    }

    g_confirmed = CreateEventA(NULL, FALSE, FALSE, NULL);
    static unsigned char blockBytes[BLOCK_SIZE], response[512];
    DmiCommandBlock *block = (DmiCommandBlock *)blockBytes;

    printf("dmiconsole: the DMI service layer of %s, through VELKDLL.dll\n", node ? node : "this machine");
    InitBlock(block, DMI_CMD_REGISTER, 0, response, sizeof response);
    block->confirmCallback = OnConfirmation;
    if (node) {
        uint32_t length = (uint32_t)strlen(node);
        block->command = DMI_CMD_REGISTER_AT_NODE;
        block->blockLength = NODE_RECORD_OFFSET + 4 + length;
        *DmiBlockWord(block, DMI_OFF_NODE_NAME_OFFSET) = NODE_RECORD_OFFSET;
        *DmiBlockWord(block, DMI_OFF_PROTOCOL_INDEX) = protocolIndex;
        *DmiBlockWord(block, NODE_RECORD_OFFSET) = length;
        memcpy(blockBytes + NODE_RECORD_OFFSET + 4, node, length);
    }
    if (InvokeAndWait(block))
        return 1;
    if (block->completionStatus != 0)
        return 1;
    uint32_t handle;
    memcpy(&handle, response + DMI_RESPONSE_HANDLE_OFFSET, 4);

    InitBlock(block, command, handle, response, sizeof response);
    int failed = InvokeAndWait(block);

    InitBlock(block, DMI_CMD_UNREGISTER, handle, response, sizeof response);
    failed |= InvokeAndWait(block);
    return failed;
}
