/* The instrumentation's configuration: one key per component under the
 * instrumentation's service key, holding the key paths of its group 2. */
#include <stdio.h>
#include <string.h>

#include "rokin_setup.h"

/* Creates or opens "Component %d"; a new key gets "ComponentId". NULL on failure. */
static HKEY CreateComponentKey(HKEY root, uint32_t componentId)
{
    char name[32];
    HKEY key;
    DWORD disposition;
    snprintf(name, sizeof name, "Component %d", (int)componentId);
    if (RegCreateKeyExA(root, name, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key, &disposition) !=
        ERROR_SUCCESS)
        return NULL;
    if (disposition == REG_CREATED_NEW_KEY &&
        RegSetValueExA(key, "ComponentId", 0, REG_DWORD, (const BYTE *)&componentId, sizeof componentId) !=
            ERROR_SUCCESS) {
        RegCloseKey(key);
        /* A key left without its id would never get one: later runs find it existing. */
        RegDeleteKeyA(root, name);
        return NULL;
    }
    return key;
}

/* "Key%d" = lastKey as text, without a terminating zero; a failed write is not
 * reported. The text is passed from a copy with a non-zero byte after it: given a
 * zero there, the registry stores that zero with the text (Wine does so). */
static void WriteKeyValue(HKEY key, int number)
{
    static char text[sizeof g_setup.lastKey.chars + 1];
    char name[32];
    uint32_t length = g_setup.lastKey.length;
    memcpy(text, g_setup.lastKey.chars, length);
    text[length] = '.';
    snprintf(name, sizeof name, "Key%d", number);
    RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)text, length);
}

int ConfigureComponents(void)
{
    HKEY root;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, ROKIN_CONFIG_KEY, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &root, NULL) != ERROR_SUCCESS)
        return 1;
    for (uint32_t i = 0; i < g_setup.componentCount; i++) {
        uint32_t id = g_setup.components[i];
        HKEY key = CreateComponentKey(root, id);
        if (!key) {
            RegCloseKey(root);
            return 1;
        }
        if (ReadFirstKeyRow(id) == 0) {
            int number = 1;
            WriteKeyValue(key, number++);
            while (ReadNextKeyRow(id) == 0)
                WriteKeyValue(key, number++);
        }
        RegCloseKey(key);
    }
    RegCloseKey(root);
    return 0;
}
