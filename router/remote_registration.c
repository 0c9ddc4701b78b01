/* Registrations addressed to a named node. */
#include "router.h"

#include <string.h>

static BOOL SameNameIgnoringCase(const char *a, const char *b)
{
    for (;; a++, b++) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z')
            x -= 'a' - 'A';
        if (y >= 'a' && y <= 'z')
            y -= 'a' - 'A';
        if (x != y)
            return FALSE;
        if (!x)
            return TRUE;
    }
}

uint32_t ClassifyNodeRegistration(DmiCommandBlock *block, char nodeName[DMI_NODE_NAME_MAX + 1], BOOL *remote)
{
    /* The block is a registration from here on, even when refused below. */
    block->command = DMI_CMD_REGISTER;
    *remote = FALSE;
    nodeName[0] = 0;
    if (block->blockLength < DMI_REMOTE_REGISTRATION_MIN)
        return DMI_ERR_BAD_NODE_NAME;
    uint32_t offset = *DmiBlockWord(block, DMI_OFF_NODE_NAME_OFFSET);
    if (offset == 0)
        return 0;
    /* The record must lie inside the block, as blockLength tells. */
    if (!DmiRangeInside(block->blockLength, offset, 4))
        return DMI_ERR_BAD_NODE_NAME;
    uint32_t length = *DmiBlockWord(block, offset);
    if (length == 0 || length > DMI_NODE_NAME_MAX || !DmiRangeInside(block->blockLength, offset + 4, length))
        return DMI_ERR_BAD_NODE_NAME;
    const char *name = (const char *)block + offset + 4;
    if (length >= 2 && name[0] == '\\' && name[1] == '\\') {
        name += 2;
        length -= 2;
    }
    if (memchr(name, 0, length))
        return DMI_ERR_BAD_NODE_NAME; /* would read as a shorter name */
    memcpy(nodeName, name, length);
    nodeName[length] = 0;
    *remote = !SameNameIgnoringCase(nodeName, g_router.computerName);
    return 0;
}

uint32_t CancelConnectingRegistration(uint32_t context)
{
    uint32_t result = DMI_ERR_NO_SUCH_REGISTRATION;
    EnterCriticalSection(&g_router.lock);
    PendingCommand *pc = FindCancellable(context);
    if (pc) {
        SetEvent(pc->cancelEvent);
        result = 0;
    }
    LeaveCriticalSection(&g_router.lock);
    return result;
}
