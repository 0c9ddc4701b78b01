/* dmiinst: installs, removes and lists the service layer's components.
 *   dmiinst FILE          installs the component described in FILE, prints its id
 *   dmiinst /remove ID    removes component ID
 *   dmiinst /list         lists the installed components through the service layer
 * Exit code 0 on success, 1 on failure (with a message), 2 for a wrong command line. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "component_database.h"
#include "dmi_string.h"
#include "dmiapi.h"

static HANDLE g_done;

static void __stdcall CommandDone(DmiCommandBlock *block)
{
    SetEvent(g_done);
}

static int Install(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (!file) {
        fprintf(stderr, "dmiinst: cannot open %s\n", path);
        return 1;
    }
    static char text[DB_MAX_DESCRIPTION + 1];
    size_t length = fread(text, 1, sizeof text, file);
    fclose(file);
    if (length > DB_MAX_DESCRIPTION) {
        fprintf(stderr, "dmiinst: %s is longer than %u bytes\n", path, DB_MAX_DESCRIPTION);
        return 1;
    }
    uint32_t id = 0, line = 0;
    uint32_t result = DmiInstall(DMIAPI_INSTALL_COMPONENT, (uint32_t)(uintptr_t)text, (uint32_t)length,
                                 (uint32_t)(uintptr_t)&id, (uint32_t)(uintptr_t)&line);
    if (result == DMIAPI_ERR_BAD_DESCRIPTION) {
        fprintf(stderr, "dmiinst: %s, line %u: not a valid component description\n", path, (unsigned)line);
        return 1;
    }
    if (result) {
        fprintf(stderr, "dmiinst: installing failed (0x%X)\n", (unsigned)result);
        return 1;
    }
    printf("Component %u installed\n", (unsigned)id);
    return 0;
}

/* Runs one command and waits for its confirmation; its completion status, or the refusal. */
static uint32_t InvokeAndWait(DmiCommandBlock *block)
{
    ResetEvent(g_done);
    uint32_t result = DmiInvoke(block);
    if (result)
        return result;
    WaitForSingleObject(g_done, INFINITE);
    return block->completionStatus;
}

static int List(void)
{
    static uint32_t words[128];
    static unsigned char response[8192];
    DmiCommandBlock *block = (DmiCommandBlock *)words;
    g_done = CreateEventA(NULL, TRUE, FALSE, NULL);
    block->signature = DMI_SIGNATURE;
    block->command = DMI_CMD_REGISTER;
    block->blockLength = DMI_REGISTRATION_BLOCK_SIZE;
    block->context = 1;
    block->reserved24 = 1;
    block->responseSize = sizeof response;
    block->response = response;
    block->confirmCallback = CommandDone;
    if (!g_done || InvokeAndWait(block)) {
        fprintf(stderr, "dmiinst: the service layer refuses the registration\n");
        return 1;
    }
    uint32_t handle;
    memcpy(&handle, response + DMI_RESPONSE_HANDLE_OFFSET, 4);

    /* 513 with an empty class lists every component. */
    memset(words, 0, sizeof words);
    block->signature = DMI_SIGNATURE;
    block->command = DMI_CMD_LIST_COMPONENTS;
    block->blockLength = sizeof words;
    block->handle = handle;
    block->context = 1;
    block->reserved24 = 1;
    block->responseSize = sizeof response;
    block->response = response;
    words[DMI_OFF_CLASS_STRING / 4] = 0x50;
    uint32_t status = InvokeAndWait(block);
    if (status && status != DMIAPI_STATUS_RESPONSE_TOO_SMALL) {
        fprintf(stderr, "dmiinst: listing failed (0x%X)\n", (unsigned)status);
        return 1;
    }
    for (uint32_t i = 0; i < block->returnedCount; i++) {
        uint32_t entry[5];
        const char *name = "";
        uint32_t nameLength = 0;
        memcpy(entry, response + i * DMIAPI_COMPONENT_ENTRY_SIZE, sizeof entry);
        if (entry[2])
            DmiStringGet(response, sizeof response, entry[2], &name, &nameLength);
        printf("%u\t%.*s\t%u groups\n", (unsigned)entry[0], (int)nameLength, name, (unsigned)entry[3]);
    }

    memset(words, 0, sizeof words);
    block->signature = DMI_SIGNATURE;
    block->command = DMI_CMD_UNREGISTER;
    block->blockLength = sizeof words;
    block->handle = handle;
    block->context = 1;
    block->reserved24 = 1;
    InvokeAndWait(block);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "/list") == 0)
        return List();
    if (argc == 3 && strcmp(argv[1], "/remove") == 0) {
        char *end;
        unsigned long id = strtoul(argv[2], &end, 10);
        if (*end || !*argv[2]) {
            fprintf(stderr, "dmiinst: %s is not a component id\n", argv[2]);
            return 2;
        }
        if (DmiInstall(DMIAPI_REMOVE_COMPONENT, (uint32_t)id, 0, 0, 0)) {
            fprintf(stderr, "dmiinst: no component %lu is installed\n", id);
            return 1;
        }
        printf("Component %lu removed\n", id);
        return 0;
    }
    if (argc == 2 && argv[1][0] != '/')
        return Install(argv[1]);
    fprintf(stderr, "usage: dmiinst FILE | dmiinst /remove ID | dmiinst /list\n");
    return 2;
}
