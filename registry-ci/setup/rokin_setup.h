/* rokinsu's work: the commands it sends to the local DMI service layer, the
 * instrumentation configuration it writes from their answers, and the status
 * drawing of its window. One command at a time, from one thread. */
#ifndef ROKIN_SETUP_H
#define ROKIN_SETUP_H

#include <windows.h>

#include <stdatomic.h>
#include <stdint.h>

#include "dmi_command_block.h"

#define ROKIN_GROUP_CLASS "ORVANE|Registry Key List|1.0"
#define ROKIN_CONFIG_KEY "SYSTEM\\CurrentControlSet\\Services\\ROKIN"
#define ROKIN_KEY_LIST_GROUP 2u

#define SETUP_BLOCK_SIZE 512u
#define SETUP_RESPONSE_SIZE 2048u
#define SETUP_COMPONENT_ENTRY_SIZE 28u
#define SETUP_MAX_COMPONENTS (SETUP_RESPONSE_SIZE / SETUP_COMPONENT_ENTRY_SIZE)
#define SETUP_SPEC_LEVEL_MAX 79u
#define SETUP_IMPL_DESC_MAX 83u
/* A 774 block carries its key between the word at +0x50 and the key list at 500. */
#define SETUP_KEY_LIST_OFFSET 500u
#define SETUP_KEY_MAX 410u

typedef struct SetupState {
    _Alignas(4) unsigned char block[SETUP_BLOCK_SIZE];
    _Alignas(4) unsigned char response[SETUP_RESPONSE_SIZE];
    uint32_t mgmtHandle;
    char specLevel[SETUP_SPEC_LEVEL_MAX + 1];
    char implDesc[SETUP_IMPL_DESC_MAX + 1];
    /* DmiString of the latest group-2 row's key path, then a zero byte. */
    struct {
        uint32_t length;
        char chars[SETUP_RESPONSE_SIZE + 1];
    } lastKey;
    uint32_t components[SETUP_MAX_COMPONENTS];
    uint32_t componentCount;
    uint32_t shownComponent;
    /* Set by CommandDone on a service-layer thread, polled by the main thread. */
    atomic_int doneFlag;
} SetupState;

extern SetupState g_setup;

/* The confirmation callback of the registration: marks the command done. */
void __stdcall CommandDone(DmiCommandBlock *block);

/* Sends the command block and waits for its confirmation: the refusal, or the
 * completion status (0 is success). */
uint32_t InvokeAndWait(void);

/* Registers, configures every component that carries the key-list group, and
 * unregisters; failures are reported in message boxes owned by `window`. */
void RunSetup(HWND window);

/* Writes the instrumentation's configuration for the components in g_setup,
 * reading each one's key paths from its group 2; 0 on success. */
int ConfigureComponents(void);

/* Fill the command block for a registration, the component list by the
 * key-list class, and the unregistration. */
void FillRegisterBlock(void);
void FillListBlock(void);
void FillUnregisterBlock(void);

/* Reads the first (773) or next (774, after lastKey) row of group 2 into lastKey. */
uint32_t ReadFirstKeyRow(uint32_t componentId);
uint32_t ReadNextKeyRow(uint32_t componentId);

/* Draws what the setup found: the service layer and the first component. */
void PaintStatus(HWND window, HDC dc);

#endif
