#include "protocol_list.h"

#include <string.h>

#define TEXT_SIZE 128

ProtocolList protocolList;

/* The registry value as text; 0 when the key or value is missing or the value
   does not fit the buffer. Its type is not examined. */
static int ReadRegistryText(char text[TEXT_SIZE + 1])
{
    HKEY key;
    DWORD size = TEXT_SIZE;
    LONG rc;

    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PROTOCOL_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    rc = RegQueryValueExA(key, PROTOCOL_VALUE, NULL, NULL, (BYTE *)text, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return 0;
    text[size] = 0; /* a value stored without its terminator */
    return 1;
}

/* The environment variable as text; 0 when unset, empty or too long for the buffer. */
static int ReadEnvironmentText(char text[TEXT_SIZE + 1])
{
    DWORD n = GetEnvironmentVariableA(PROTOCOL_VALUE, text, TEXT_SIZE);
    return n != 0 && n < TEXT_SIZE;
}

/* Each comma-separated piece takes a slot, empty pieces too; a piece too long
   for a slot leaves its slot empty, and pieces beyond the last slot are dropped. */
static void SplitIntoSlots(const char *text)
{
    const char *piece = text;

    protocolList.count = 0;
    for (;;) {
        const char *end = strchr(piece, ',');
        size_t n = end ? (size_t)(end - piece) : strlen(piece);
        if (protocolList.count == RPC_SLOT_COUNT)
            return;
        if (n < RPC_SLOT_SIZE)
            memcpy(protocolList.names[protocolList.count], piece, n);
        protocolList.count++;
        if (!end)
            return;
        piece = end + 1;
    }
}

void ReadProtocolList(void)
{
    char text[TEXT_SIZE + 1];

    memset(&protocolList, 0, sizeof protocolList);
    lstrcpyA(protocolList.names[0], "ncacn_nb_nb");
    lstrcpyA(protocolList.names[1], "ncacn_ip_tcp");
    protocolList.count = 2;

    if (!ReadRegistryText(text) && !ReadEnvironmentText(text))
        return;
    memset(&protocolList, 0, sizeof protocolList);
    SplitIntoSlots(text);
}
