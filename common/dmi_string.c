#include "dmi_string.h"

#include <string.h>

#include "dmi_command_block.h"

uint32_t DmiStringPut(void *buffer, uint32_t size, uint32_t offset, const char *text, uint32_t length)
{
    /* Length word, the characters and a terminating zero byte. */
    if (length > UINT32_MAX - 5 || !DmiRangeInside(size, offset, 4 + length + 1))
        return 0;
    unsigned char *at = (unsigned char *)buffer + offset;
    memcpy(at, &length, 4);
    memcpy(at + 4, text, length);
    at[4 + length] = 0;
    uint32_t end = offset + 4 + length + 1;
    uint32_t aligned = (end + 3u) & ~3u;
    return aligned <= size ? aligned : end;
}

int DmiStringGet(const void *buffer, uint32_t size, uint32_t offset, const char **text, uint32_t *length)
{
    uint32_t n;
    if (!DmiRangeInside(size, offset, 4))
        return 0;
    memcpy(&n, (const unsigned char *)buffer + offset, 4);
    if (!DmiRangeInside(size, offset + 4, n))
        return 0;
    *text = (const char *)buffer + offset + 4;
    *length = n;
    return 1;
}
