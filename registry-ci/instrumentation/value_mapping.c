/* Registry values as attribute texts, read through the context's cache. */
#include "value_mapping.h"

#include <stdio.h>
#include <string.h>

#include "row_walk.h"

/* The text of every string result, shared by all contexts: valid until the next request. */
static struct {
    uint32_t length;
    char chars[ROKIN_DATA_SIZE + 1];
} g_resultString;

/* Reads the value `name` of the open key into the cache; the cache is left as it was
 * when the value cannot be read. */
static int ReadIntoCache(ComponentContext *ctx, const char *name)
{
    unsigned char data[ROKIN_DATA_SIZE];
    DWORD type, size = sizeof data;
    LONG r = RegQueryValueExA(ctx->openKey, name, NULL, &type, data, &size);
    if (r == ERROR_MORE_DATA) {
        /* Too large: its first bytes are kept as text, up to the first zero byte. */
        DWORD needed = size;
        unsigned char *all = HeapAlloc(GetProcessHeap(), 0, needed ? needed : 1);
        if (!all)
            return 0;
        r = RegQueryValueExA(ctx->openKey, name, NULL, &type, all, &needed);
        if (r == ERROR_SUCCESS) {
            size_t keep = strnlen((const char *)all, needed < sizeof data ? needed : sizeof data);
            memset(data, 0, sizeof data);
            memcpy(data, all, keep);
            size = sizeof data;
        }
        HeapFree(GetProcessHeap(), 0, all);
    }
    if (r != ERROR_SUCCESS)
        return 0;
    ctx->cachedType = type;
    memcpy(ctx->cachedData, data, size);
    ctx->cachedSize = size;
    strcpy(ctx->cachedName, name);
    ctx->cachedNameValid = 1;
    return 1;
}

/* Makes the key of `subPath` under workHive the open key; the cache is emptied. */
static int OpenRowKey(ComponentContext *ctx, const char *subPath)
{
    HKEY key;
    if (ctx->openKey) {
        RegCloseKey(ctx->openKey);
        ctx->openKey = NULL;
    }
    if (!ctx->workHive ||
        RegOpenKeyExA((HKEY)(ULONG_PTR)ctx->workHive, subPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    ctx->openKey = key;
    ctx->openHive = ctx->workHive;
    strcpy(ctx->openPath, subPath);
    ctx->cachedNameValid = 0;
    ctx->cachedName[0] = 0;
    return 1;
}

int ReadRowValue(ComponentContext *ctx, const AttributeValue *row, char *subPath, char *valueName)
{
    const uint32_t *path = row[0].value, *name = row[1].value, *item = row[2].value;
    char fullPath[ROKIN_TEXT_SIZE];
    if (!path || !name || !item || path[0] >= ROKIN_TEXT_SIZE || name[0] >= ROKIN_TEXT_SIZE)
        return 0;
    memcpy(fullPath, path + 1, path[0]);
    fullPath[path[0]] = 0;
    memcpy(valueName, name + 1, name[0]);
    valueName[name[0]] = 0;
    ctx->requestItem = *item;
    ctx->workHive = SplitKeyPath(fullPath, subPath);

    int reused = ctx->openKey && ctx->workHive == ctx->openHive && strcmp(subPath, ctx->openPath) == 0;
    if (!reused && !OpenRowKey(ctx, subPath))
        return 0;
    if (ctx->cachedNameValid && strcmp(valueName, ctx->cachedName) == 0)
        return 1;
    if (ReadIntoCache(ctx, valueName))
        return 1;
    /* The key kept open may have been deleted and created anew since: open it again. */
    return reused && OpenRowKey(ctx, subPath) && ReadIntoCache(ctx, valueName);
}

uint32_t FormatHexBytes(const unsigned char *data, uint32_t size, char *text)
{
    static const char digits[] = "0123456789ABCDEF";
    uint32_t n = size < 681 ? size : 681;
    for (uint32_t i = 0; i < n; i++) {
        text[3 * i] = digits[data[i] >> 4];
        text[3 * i + 1] = digits[data[i] & 15];
        text[3 * i + 2] = ' ';
    }
    text[3 * n] = 0;
    return 3 * n;
}

int PickMultiString(const unsigned char *data, uint32_t size, uint32_t index, const char **text, uint32_t *length)
{
    uint32_t i = 1, total = 0, pos = 0;
    while (i < index + 1 && total < size) {
        pos += (uint32_t)strnlen((const char *)data + pos, size - pos) + 1;
        if (pos >= size || data[pos] == 0)
            return 0;
        total += (uint32_t)strnlen((const char *)data + pos, size - pos);
        i++;
    }
    if (i != index + 1)
        return 0;
    *text = (const char *)data + pos;
    *length = pos < size ? (uint32_t)strnlen(*text, size - pos) : 0;
    return 1;
}

/* The value's data as text, by its registry type. */
static int ValueText(ComponentContext *ctx)
{
    const unsigned char *data = ctx->cachedData;
    uint32_t size = ctx->cachedSize;
    switch (ctx->cachedType) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK: {
        size_t text = strnlen((const char *)data, size);
        memcpy(g_resultString.chars, data, text);
        memset(g_resultString.chars + text, 0, size - text);
        g_resultString.length = size;
        break;
    }
    case REG_DWORD: {
        uint32_t number = 0;
        memcpy(&number, data, size < 4 ? size : 4);
        g_resultString.length = (uint32_t)sprintf(g_resultString.chars, "%lu", (unsigned long)number);
        break;
    }
    case REG_MULTI_SZ: {
        const char *text;
        uint32_t length;
        if (!PickMultiString(data, size, ctx->requestItem, &text, &length))
            return 0;
        memmove(g_resultString.chars, text, length);
        g_resultString.length = length;
        break;
    }
    default:
        /* REG_NONE, REG_BINARY, and the types without a text form of their own. */
        g_resultString.length = FormatHexBytes(data, size, g_resultString.chars);
        break;
    }
    g_resultString.chars[g_resultString.length] = 0;
    return 1;
}

AttributeValue *ProduceAttributeValue(ComponentContext *ctx, uint32_t attributeId, const char *subPath,
                                      const char *valueName)
{
    AttributeValue *result = &ctx->resultArea[0];
    switch (attributeId) {
    case ATTR_KEY_PATH: {
        uint32_t length;
        const char *full = JoinKeyPath(ctx->workHive, subPath, &length);
        if (!full)
            return NULL;
        memcpy(g_resultString.chars, full, length + 1);
        g_resultString.length = length;
        break;
    }
    case ATTR_VALUE_NAME:
        g_resultString.length = (uint32_t)strlen(valueName);
        memcpy(g_resultString.chars, valueName, g_resultString.length + 1);
        break;
    case ATTR_VALUE_TYPE:
        g_resultString.length = (uint32_t)sprintf(g_resultString.chars, "%u", (unsigned)ctx->cachedType);
        break;
    case ATTR_ITEM_INDEX:
        *result = (AttributeValue){ATTR_ITEM_INDEX, 1, &ctx->requestItem};
        return result;
    case ATTR_VALUE_TEXT:
        if (!ValueText(ctx))
            return NULL;
        break;
    default:
        return NULL;
    }
    *result = (AttributeValue){attributeId, 8, &g_resultString};
    return result;
}
