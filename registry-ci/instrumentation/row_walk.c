/* The row walk over the configured roots of a component. */
#include "row_walk.h"

#include <stdio.h>
#include <string.h>

static const struct {
    const char *name;
    uint32_t handle;
} g_hives[] = {
    {"HKEY_CLASSES_ROOT", 0x80000000u},   {"HKEY_CURRENT_USER", 0x80000001u},
    {"HKEY_LOCAL_MACHINE", 0x80000002u},  {"HKEY_USERS", 0x80000003u},
    {"HKEY_PERFORMANCE_DATA", 0x80000004u}, {"HKEY_CURRENT_CONFIG", 0x80000005u},
    {"HKEY_DYN_DATA", 0x80000006u},
};

static char g_joinText[ROKIN_KEY_TEXT_MAX + 1];

static const char *HiveName(uint32_t hive)
{
    for (size_t i = 0; i < sizeof g_hives / sizeof g_hives[0]; i++)
        if (g_hives[i].handle == hive)
            return g_hives[i].name;
    return NULL;
}

uint32_t SplitKeyPath(const char *keyPath, char *subPath)
{
    const char *separator = strpbrk(keyPath, "\\/");
    const char *token = keyPath + strspn(keyPath, "\\/");
    size_t tokenLen = strcspn(token, "\\/");
    uint32_t hive = 0;
    for (size_t i = 0; i < sizeof g_hives / sizeof g_hives[0]; i++)
        if (strlen(g_hives[i].name) == tokenLen && memcmp(g_hives[i].name, token, tokenLen) == 0)
            hive = g_hives[i].handle;
    /* keyPath holds at most ROKIN_TEXT_SIZE - 1 characters, so its tail fits. */
    snprintf(subPath, ROKIN_TEXT_SIZE, "%s", separator ? separator + 1 : "");
    return hive;
}

/* True when the full key path of `subPath` under `hive` fits a key list's text. */
static int PathFits(uint32_t hive, size_t subPathLen)
{
    const char *name = HiveName(hive);
    return name && strlen(name) + 1 + subPathLen <= ROKIN_KEY_TEXT_MAX;
}

const char *JoinKeyPath(uint32_t hive, const char *subPath, uint32_t *length)
{
    size_t subLen = strlen(subPath);
    if (!PathFits(hive, subLen))
        return NULL;
    int n = snprintf(g_joinText, sizeof g_joinText, "%s\\%s", HiveName(hive), subPath);
    if (length)
        *length = (uint32_t)n;
    return g_joinText;
}

static HKEY OpenRead(uint32_t hive, const char *path)
{
    HKEY key;
    if (!hive || RegOpenKeyExA((HKEY)(ULONG_PTR)hive, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

/* Child path "parent\name" into `out`, unless its full key path would not fit. */
static int ChildPath(uint32_t hive, const char *parent, const char *name, char *out)
{
    size_t len = strlen(parent) + 1 + strlen(name);
    if (len >= ROKIN_TEXT_SIZE || !PathFits(hive, len))
        return 0;
    snprintf(out, ROKIN_TEXT_SIZE, "%s\\%s", parent, name);
    return 1;
}

/* Enumerates subkey `index`: 1 read, 0 skip this index (name too long), -1 end. */
static int EnumSubkey(HKEY key, DWORD index, char *name)
{
    DWORD len = ROKIN_TEXT_SIZE;
    LONG r = RegEnumKeyExA(key, index, name, &len, NULL, NULL, NULL, NULL);
    if (r == ERROR_SUCCESS)
        return 1;
    return r == ERROR_MORE_DATA ? 0 : -1;
}

/* Enumerates value `index` with its type: as EnumSubkey; names that would not fit a
 * key list's text are skipped. */
static int EnumValue(HKEY key, DWORD index, char *name, DWORD *type)
{
    DWORD len = ROKIN_TEXT_SIZE;
    LONG r = RegEnumValueA(key, index, name, &len, NULL, type, NULL, NULL);
    if (r == ERROR_SUCCESS)
        return len <= ROKIN_KEY_TEXT_MAX ? 1 : 0;
    return r == ERROR_MORE_DATA ? 0 : -1;
}

/* A configured root "Key%d": at most 255 characters, taken up to its stored length. */
static int ReadRootValue(HKEY configKey, const char *valueName, char *text)
{
    char buffer[ROKIN_TEXT_SIZE + 1];
    DWORD size = ROKIN_TEXT_SIZE;
    if (RegQueryValueExA(configKey, valueName, NULL, NULL, (BYTE *)buffer, &size) != ERROR_SUCCESS)
        return 0;
    buffer[size] = 0;
    if (strlen(buffer) >= ROKIN_TEXT_SIZE)
        return 0;
    strcpy(text, buffer);
    return 1;
}

/* Makes `keyPath` the current root. A root naming a whole hive (empty subkey path)
 * is not served: an empty rootPath means that no root is current. */
static int TakeRoot(ComponentContext *ctx, const char *valueName, const char *keyPath)
{
    char subPath[ROKIN_TEXT_SIZE];
    uint32_t hive = SplitKeyPath(keyPath, subPath);
    if (!subPath[0])
        return 0;
    snprintf(ctx->rootValueName, sizeof ctx->rootValueName, "%s", valueName);
    ctx->workHive = hive;
    strcpy(ctx->rootPath, subPath);
    return 1;
}

int FindComponentRoot(ComponentContext *ctx, uint32_t componentId)
{
    HKEY root, component;
    char name[ROKIN_TEXT_SIZE], keyPath[ROKIN_TEXT_SIZE], configPath[ROKIN_TEXT_SIZE];
    int found = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ROKIN_CONFIG_ROOT, 0, KEY_READ, &root) != ERROR_SUCCESS)
        return 0;
    for (DWORD i = 0;; i++) {
        int r = EnumSubkey(root, i, name);
        if (r < 0)
            break;
        int id;
        if (r > 0 && sscanf(name, "Component %d", &id) == 1 && (uint32_t)id == componentId) {
            found = 1;
            break;
        }
    }
    RegCloseKey(root);
    if (!found || snprintf(configPath, sizeof configPath, "%s\\%s", ROKIN_CONFIG_ROOT, name) >= ROKIN_TEXT_SIZE)
        return 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, configPath, 0, KEY_READ, &component) != ERROR_SUCCESS)
        return 0;
    found = ReadRootValue(component, "Key1", keyPath);
    RegCloseKey(component);
    if (!found)
        return 0;
    strcpy(ctx->configKeyPath, configPath);
    return TakeRoot(ctx, "Key1", keyPath);
}

int AdvanceRootKey(ComponentContext *ctx)
{
    HKEY component;
    char valueName[32], keyPath[ROKIN_TEXT_SIZE];
    int k, advanced = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ctx->configKeyPath, 0, KEY_READ, &component) == ERROR_SUCCESS) {
        if (sscanf(ctx->rootValueName, "Key%d", &k) == 1 && k > 0 && k < INT32_MAX) {
            snprintf(valueName, sizeof valueName, "Key%d", k + 1);
            advanced = ReadRootValue(component, valueName, keyPath) && TakeRoot(ctx, valueName, keyPath);
        }
        RegCloseKey(component);
    }
    if (!advanced) {
        ctx->rootPath[0] = 0;
        ctx->firstRowValid = 0;
    }
    return advanced;
}

int FindFirstValueBelow(ComponentContext *ctx, const char *path, char *foundPath, char *foundName)
{
    HKEY key = OpenRead(ctx->workHive, path);
    DWORD subkeys, values, type;
    char name[ROKIN_TEXT_SIZE], child[ROKIN_TEXT_SIZE];
    int found = 0;
    if (!key)
        return 0;
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS) {
        RegCloseKey(key);
        return 0;
    }
    for (DWORD i = 0; i < values && !found; i++) {
        int r = EnumValue(key, i, name, &type);
        if (r < 0)
            break;
        if (r > 0) {
            strcpy(foundPath, path);
            strcpy(foundName, name);
            found = 1;
        }
    }
    for (DWORD i = 0; i < subkeys && !found; i++)
        if (EnumSubkey(key, i, name) > 0 && ChildPath(ctx->workHive, path, name, child))
            found = FindFirstValueBelow(ctx, child, foundPath, foundName);
    RegCloseKey(key);
    return found;
}

/* True when `path` lies strictly below the current root. */
static int BelowRoot(const ComponentContext *ctx, const char *path)
{
    size_t n = strlen(ctx->rootPath);
    return n && strncmp(path, ctx->rootPath, n) == 0 && path[n] == '\\';
}

int FindNextSiblingValue(ComponentContext *ctx, const char *path, char *foundPath, char *foundName)
{
    char p[ROKIN_TEXT_SIZE], childName[ROKIN_TEXT_SIZE], name[ROKIN_TEXT_SIZE], sibling[ROKIN_TEXT_SIZE];
    snprintf(p, sizeof p, "%s", path);
    /* The search climbs no higher than the root: a key outside it has no sibling here. */
    while (BelowRoot(ctx, p)) {
        char *slash = strrchr(p, '\\');
        strcpy(childName, slash + 1);
        *slash = 0;
        HKEY parent = OpenRead(ctx->workHive, p);
        DWORD subkeys;
        if (!parent)
            return 0;
        if (RegQueryInfoKeyA(parent, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL) !=
            ERROR_SUCCESS) {
            RegCloseKey(parent);
            return 0;
        }
        int seenChild = 0, found = 0;
        for (DWORD i = 0; i < subkeys && !found; i++) {
            if (EnumSubkey(parent, i, name) <= 0)
                continue;
            if (!seenChild)
                seenChild = _stricmp(name, childName) == 0;
            else if (ChildPath(ctx->workHive, p, name, sibling))
                found = FindFirstValueBelow(ctx, sibling, foundPath, foundName);
        }
        RegCloseKey(parent);
        if (found)
            return 1;
    }
    return 0;
}

/* Builds a key list naming (hive, path, name, *item); the two lists share the texts. */
static int BuildKeyList(ComponentContext *ctx, KeyList *list, uint32_t hive, const char *path, const char *name,
                        uint32_t *item)
{
    uint32_t pathLen;
    size_t nameLen = strlen(name);
    const char *full = JoinKeyPath(hive, path, &pathLen);
    if (!full || nameLen > ROKIN_KEY_TEXT_MAX)
        return 0;
    ctx->pathText.length = pathLen;
    memcpy(ctx->pathText.chars, full, pathLen + 1);
    ctx->nameText.length = (uint32_t)nameLen;
    memcpy(ctx->nameText.chars, name, nameLen + 1);
    list->entries[0] = (AttributeValue){1, 8, &ctx->pathText};
    list->entries[1] = (AttributeValue){2, 8, &ctx->nameText};
    list->entries[2] = (AttributeValue){4, 1, item};
    return 1;
}

KeyList *FindFirstRow(ComponentContext *ctx, uint32_t componentId)
{
    char path[ROKIN_TEXT_SIZE], name[ROKIN_TEXT_SIZE];
    if (ctx->firstRowValid && ctx->rootPath[0])
        return &ctx->firstKeys;
    if (!FindComponentRoot(ctx, componentId) || !FindFirstValueBelow(ctx, ctx->rootPath, path, name))
        return NULL;
    ctx->firstItem = 0;
    if (!BuildKeyList(ctx, &ctx->firstKeys, ctx->workHive, path, name, &ctx->firstItem))
        return NULL;
    ctx->firstRowValid = 1;
    return &ctx->firstKeys;
}

int SelectRootFor(ComponentContext *ctx, uint32_t componentId, const char *fullKeyPath)
{
    if (!FindFirstRow(ctx, componentId))
        return 0;
    while (!strstr(fullKeyPath, ctx->rootPath))
        if (!AdvanceRootKey(ctx))
            return 0;
    return 1;
}

uint32_t CountMultiStrings(HKEY key, const char *valueName)
{
    unsigned char data[ROKIN_DATA_SIZE];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, valueName, NULL, NULL, data, &size) != ERROR_SUCCESS)
        return 0;
    uint32_t count = 1, total = 0, pos = 0;
    while (total < size) {
        pos += (uint32_t)strnlen((const char *)data + pos, size - pos) + 1;
        if (pos >= size || data[pos] == 0)
            break;
        total += (uint32_t)strnlen((const char *)data + pos, size - pos);
        count++;
    }
    return count;
}

/* The texts of a received row; 0 when its entries do not hold texts that fit. */
static int RequestTexts(const AttributeValue *request, char *fullPath, char *name, uint32_t *item)
{
    const uint32_t *path = request[0].value, *value = request[1].value, *index = request[2].value;
    if (!path || !value || !index || path[0] >= ROKIN_TEXT_SIZE || value[0] >= ROKIN_TEXT_SIZE)
        return 0;
    memcpy(fullPath, path + 1, path[0]);
    fullPath[path[0]] = 0;
    memcpy(name, value + 1, value[0]);
    name[value[0]] = 0;
    *item = *index;
    return strlen(fullPath) == path[0] && strlen(name) == value[0];
}

/* Finds the requested value in `key`, trying the index after the last one found first,
 * since a walk asks for the values of a key in enumeration order. */
static int LocateValue(ComponentContext *ctx, HKEY key, const char *name, int tryNext)
{
    char found[ROKIN_TEXT_SIZE];
    DWORD type;
    if (tryNext && ctx->valueIndex + 1 < ctx->valueCount && EnumValue(key, ctx->valueIndex + 1, found, &type) > 0 &&
        strcmp(found, name) == 0) {
        ctx->valueIndex++;
        ctx->valueType = type;
        return 1;
    }
    for (DWORD i = 0; i < ctx->valueCount; i++) {
        int r = EnumValue(key, i, found, &type);
        if (r < 0)
            return 0;
        if (r > 0 && strcmp(found, name) == 0) {
            ctx->valueIndex = i;
            ctx->valueType = type;
            return 1;
        }
    }
    return 0;
}

/* Runs through the later roots until one yields a value. */
static int NextRootWithValue(ComponentContext *ctx, char *foundPath, char *foundName)
{
    while (AdvanceRootKey(ctx))
        if (FindFirstValueBelow(ctx, ctx->rootPath, foundPath, foundName))
            return 1;
    return 0;
}

KeyList *FindNextRow(ComponentContext *ctx, uint32_t componentId, const AttributeValue *request)
{
    char fullPath[ROKIN_TEXT_SIZE], reqName[ROKIN_TEXT_SIZE], reqPath[ROKIN_TEXT_SIZE];
    char foundPath[ROKIN_TEXT_SIZE], foundName[ROKIN_TEXT_SIZE], name[ROKIN_TEXT_SIZE];
    uint32_t reqItem;
    HKEY key = NULL;
    if (!RequestTexts(request, fullPath, reqName, &reqItem))
        return NULL;
    uint32_t reqHive = SplitKeyPath(fullPath, reqPath);
    size_t pathLen = strlen(reqPath), nameLen = strlen(reqName);

    int sameKey = ctx->nextRowValid && reqHive == ctx->curHive && pathLen == ctx->curPathLen &&
                  memcmp(reqPath, ctx->curPath, pathLen) == 0;
    int sameValue = sameKey && nameLen == ctx->curValueLen && memcmp(reqName, ctx->curValue, nameLen) == 0;
    if (sameValue && reqItem == ctx->curItem)
        return &ctx->nextKeys;
    if (!ctx->nextRowValid)
        ctx->keyInfoValid = 0;

    if (!sameValue) {
        ctx->nextRowValid = 0;
        ctx->workHive = reqHive;
        if (!(key = OpenRead(reqHive, reqPath)))
            return NULL;
        int tryNext = sameKey && ctx->keyInfoValid;
        if (!tryNext) {
            DWORD subkeys, values;
            if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL) !=
                ERROR_SUCCESS) {
                RegCloseKey(key);
                return NULL;
            }
            strcpy(ctx->curPath, reqPath);
            ctx->curHive = reqHive;
            ctx->curPathLen = (uint32_t)pathLen;
            ctx->subkeyCount = subkeys;
            ctx->valueCount = values;
            ctx->keyInfoValid = 1;
        }
        /* A value the key no longer holds ends the walk here. */
        if (!LocateValue(ctx, key, reqName, tryNext)) {
            RegCloseKey(key);
            return NULL;
        }
        strcpy(ctx->curValue, reqName);
        ctx->curValueLen = (uint32_t)nameLen;
        ctx->itemCount = ctx->valueType == REG_MULTI_SZ ? CountMultiStrings(key, reqName) : 0;
    }
    ctx->curItem = reqItem;

    if (ctx->valueType == REG_MULTI_SZ && reqItem < UINT32_MAX && reqItem + 1 < ctx->itemCount) {
        if (key)
            RegCloseKey(key);
        /* The same value's next string. */
        ctx->workHive = reqHive;
        strcpy(foundPath, reqPath);
        strcpy(foundName, reqName);
        ctx->nextItem = reqItem + 1;
    } else {
        int found = 0;
        ctx->nextItem = 0;
        ctx->workHive = reqHive;
        /* The key the value was looked up in serves the rest of this step. */
        if (!key && !(key = OpenRead(reqHive, reqPath)))
            return NULL;
        for (DWORD i = ctx->valueIndex + 1; i < ctx->valueCount && !found; i++) {
            DWORD type;
            int r = EnumValue(key, i, name, &type);
            if (r < 0)
                break;
            if (r > 0) {
                strcpy(foundPath, reqPath);
                strcpy(foundName, name);
                found = 1;
            }
        }
        for (DWORD i = 0; ctx->subkeyCount && !found; i++) {
            int r = EnumSubkey(key, i, name);
            if (r < 0)
                break;
            char child[ROKIN_TEXT_SIZE];
            if (r > 0 && ChildPath(reqHive, ctx->curPath, name, child))
                found = FindFirstValueBelow(ctx, child, foundPath, foundName);
        }
        RegCloseKey(key);
        if (!found && strcmp(ctx->curPath, ctx->rootPath) != 0)
            found = FindNextSiblingValue(ctx, ctx->curPath, foundPath, foundName);
        if (!found && !NextRootWithValue(ctx, foundPath, foundName))
            return NULL;
    }

    strcpy(ctx->nextPath, foundPath);
    ctx->nextPathLen = (uint32_t)strlen(foundPath);
    strcpy(ctx->nextValue, foundName);
    ctx->nextValueLen = (uint32_t)strlen(foundName);
    if (!BuildKeyList(ctx, &ctx->nextKeys, ctx->workHive, ctx->nextPath, ctx->nextValue, &ctx->nextItem))
        return NULL;
    ctx->nextRowValid = 1;
    return &ctx->nextKeys;
}
