/* Component descriptions: parsing, and their machine-wide store in the registry. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "component_database.h"
#include "dmi_command_block.h"
#include "dmiapi.h"

enum { MAX_WORDS = DB_MAX_ATTRIBUTES + 2 };

typedef struct Word {
    const char *chars;
    uint32_t length;
    int quoted;
} Word;

/* Splits one line into words; 0 when a quote is not closed or there are too many. */
static int SplitLine(const char *line, const char *end, Word *words, uint32_t *count)
{
    *count = 0;
    while (line < end) {
        if (*line == ' ' || *line == '\t' || *line == '\r') {
            line++;
            continue;
        }
        if (*count == MAX_WORDS)
            return 0;
        Word *w = &words[(*count)++];
        if (*line == '"') {
            const char *close = memchr(line + 1, '"', end - line - 1);
            if (!close)
                return 0;
            *w = (Word){line + 1, (uint32_t)(close - line - 1), 1};
            line = close + 1;
        } else {
            const char *start = line;
            while (line < end && *line != ' ' && *line != '\t' && *line != '\r' && *line != '"')
                line++;
            *w = (Word){start, (uint32_t)(line - start), 0};
        }
    }
    return 1;
}

static int Is(const Word *w, const char *keyword)
{
    return !w->quoted && w->length == strlen(keyword) && memcmp(w->chars, keyword, w->length) == 0;
}

/* A positive decimal number of 32 bits; 0 when the word is none. */
static int Number(const Word *w, uint32_t *value, int allowZero)
{
    uint64_t n = 0;
    if (w->quoted || w->length == 0 || w->length > 10)
        return 0;
    for (uint32_t i = 0; i < w->length; i++) {
        if (w->chars[i] < '0' || w->chars[i] > '9')
            return 0;
        n = n * 10 + (uint32_t)(w->chars[i] - '0');
    }
    if (n > UINT32_MAX || (!n && !allowZero))
        return 0;
    *value = (uint32_t)n;
    return 1;
}

static int ParseStatement(Component *c, const Word *w, uint32_t n)
{
    DbGroup *g = c->groupCount ? &c->groups[c->groupCount - 1] : NULL;
    if (n == 0)
        return 1;
    if (w[0].length && w[0].chars[0] == '#' && !w[0].quoted)
        return 1;
    if (Is(&w[0], "component"))
        return !c->name.chars && n == 2 && w[1].quoted && (c->name = (DbText){w[1].chars, w[1].length}, 1);
    if (!c->name.chars)
        return 0;
    if (Is(&w[0], "group")) {
        uint32_t id;
        if (c->groupCount == DB_MAX_GROUPS || !(n == 3 || n == 5) || !Number(&w[1], &id, 0) || !w[2].quoted ||
            FindGroup(c, id))
            return 0;
        g = &c->groups[c->groupCount];
        memset(g, 0, sizeof *g);
        g->id = id;
        g->className = (DbText){w[2].chars, w[2].length};
        g->firstValue = c->valueCount;
        if (n == 5) {
            if (!Is(&w[3], "instrumentation") || !w[4].quoted || w[4].length == 0 || w[4].length >= DB_MAX_MODULE)
                return 0;
            memcpy(g->module, w[4].chars, w[4].length);
        }
        c->groupCount++;
        return 1;
    }
    if (Is(&w[0], "attribute")) {
        uint32_t id;
        if (!g || g->rowCount || g->attributeCount == DB_MAX_ATTRIBUTES || n < 3 || n > 4 ||
            !Number(&w[1], &id, 0) || (n == 4 && !Is(&w[3], "key")))
            return 0;
        for (uint32_t i = 0; i < g->attributeCount; i++)
            if (g->attributes[i].id == id)
                return 0;
        uint32_t type = Is(&w[2], "string") ? DMI_TYPE_STRING : Is(&w[2], "integer") ? DMI_TYPE_COUNTER : 0;
        if (!type)
            return 0;
        g->attributes[g->attributeCount++] = (DbAttribute){id, type, n == 4};
        return 1;
    }
    if (Is(&w[0], "row")) {
        if (!g || g->module[0] || !g->attributeCount || n - 1 != g->attributeCount ||
            c->valueCount + g->attributeCount > DB_MAX_VALUES)
            return 0;
        for (uint32_t a = 0; a < g->attributeCount; a++) {
            DbValue *v = &c->values[c->valueCount + a];
            memset(v, 0, sizeof *v);
            if (g->attributes[a].dataType == DMI_TYPE_STRING) {
                if (!w[1 + a].quoted)
                    return 0;
                v->text = (DbText){w[1 + a].chars, w[1 + a].length};
            } else if (!Number(&w[1 + a], &v->number, 1)) {
                return 0;
            }
        }
        c->valueCount += g->attributeCount;
        g->rowCount++;
        return 1;
    }
    return 0;
}

uint32_t ParseComponent(const char *text, uint32_t length, Component **component, uint32_t *errorLine)
{
    Word words[MAX_WORDS];
    uint32_t count, line = 1;
    *component = NULL;
    *errorLine = 0;
    if (!text || length == 0 || length > DB_MAX_DESCRIPTION || memchr(text, 0, length))
        return DMIAPI_ERR_BAD_DESCRIPTION;
    Component *c = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *c);
    char *source = c ? HeapAlloc(GetProcessHeap(), 0, length + 1) : NULL;
    if (!source) {
        FreeComponent(c);
        return DMIAPI_ERR_NO_MEMORY;
    }
    memcpy(source, text, length);
    source[length] = 0;
    c->source = source;
    for (const char *at = source, *end = source + length; at < end; line++) {
        const char *eol = memchr(at, '\n', end - at);
        if (!eol)
            eol = end;
        if (!SplitLine(at, eol, words, &count) || !ParseStatement(c, words, count)) {
            *errorLine = line;
            FreeComponent(c);
            return DMIAPI_ERR_BAD_DESCRIPTION;
        }
        at = eol + 1;
    }
    if (!c->name.chars) {
        *errorLine = line;
        FreeComponent(c);
        return DMIAPI_ERR_BAD_DESCRIPTION;
    }
    *component = c;
    return 0;
}

void FreeComponent(Component *component)
{
    if (!component)
        return;
    if (component->source)
        HeapFree(GetProcessHeap(), 0, component->source);
    HeapFree(GetProcessHeap(), 0, component);
}

const DbGroup *FindGroup(const Component *component, uint32_t groupId)
{
    for (uint32_t i = 0; i < component->groupCount; i++)
        if (component->groups[i].id == groupId)
            return &component->groups[i];
    return NULL;
}

static HKEY OpenComponents(REGSAM access, int create)
{
    HKEY key;
    LONG r = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, DMIAPI_COMPONENTS_KEY, 0, NULL, 0, access, NULL, &key, NULL)
                    : RegOpenKeyExA(HKEY_LOCAL_MACHINE, DMIAPI_COMPONENTS_KEY, 0, access, &key);
    return r == ERROR_SUCCESS ? key : NULL;
}

/* Subkey names are component ids in plain decimal; anything else is not a component. */
static int ComponentIdOf(const char *name, uint32_t *id)
{
    Word w = {name, (uint32_t)strlen(name), 0};
    char canonical[16];
    if (!Number(&w, id, 0))
        return 0;
    snprintf(canonical, sizeof canonical, "%u", (unsigned)*id);
    return strcmp(canonical, name) == 0;
}

uint32_t InstallComponent(const char *text, uint32_t length, uint32_t *componentId, uint32_t *errorLine)
{
    Component *c;
    uint32_t result = ParseComponent(text, length, &c, errorLine);
    if (result)
        return result;
    FreeComponent(c);
    HKEY all = OpenComponents(KEY_ALL_ACCESS, 1);
    if (!all)
        return DMIAPI_ERR_STORE;
    uint32_t id = 1;
    /* A new id above every installed one; the key that is created new claims it, so
     * two installers at once never share an id. */
    for (DWORD i = 0;; i++) {
        char name[32];
        DWORD len = sizeof name;
        uint32_t existing;
        LONG r = RegEnumKeyExA(all, i, name, &len, NULL, NULL, NULL, NULL);
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA)
            break;
        if (r == ERROR_SUCCESS && ComponentIdOf(name, &existing) && existing >= id)
            id = existing + 1;
    }
    result = DMIAPI_ERR_STORE;
    for (; id != 0; id++) {
        char name[16];
        HKEY key;
        DWORD disposition;
        snprintf(name, sizeof name, "%u", (unsigned)id);
        if (RegCreateKeyExA(all, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, &disposition) != ERROR_SUCCESS)
            break;
        if (disposition != REG_CREATED_NEW_KEY) {
            RegCloseKey(key);
            continue;
        }
        if (RegSetValueExA(key, "Description", 0, REG_BINARY, (const BYTE *)text, length) == ERROR_SUCCESS) {
            *componentId = id;
            result = 0;
        }
        RegCloseKey(key);
        if (result)
            RegDeleteKeyA(all, name);
        break;
    }
    RegCloseKey(all);
    return result;
}

uint32_t RemoveComponent(uint32_t componentId)
{
    char name[16];
    HKEY all = OpenComponents(KEY_ALL_ACCESS, 0);
    if (!all)
        return DMIAPI_ERR_NO_SUCH_COMPONENT;
    snprintf(name, sizeof name, "%u", (unsigned)componentId);
    LONG r = componentId ? RegDeleteKeyA(all, name) : ERROR_FILE_NOT_FOUND;
    RegCloseKey(all);
    return r == ERROR_SUCCESS ? 0 : DMIAPI_ERR_NO_SUCH_COMPONENT;
}

Component *LoadComponent(uint32_t componentId)
{
    char path[64], small[4096];
    HKEY key;
    Component *c = NULL;
    snprintf(path, sizeof path, "%s\\%u", DMIAPI_COMPONENTS_KEY, (unsigned)componentId);
    if (!componentId || RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return NULL;
    /* Most descriptions fit the small buffer: one read. */
    char *text = small;
    DWORD type, size = sizeof small;
    LONG r = RegQueryValueExA(key, "Description", NULL, &type, (BYTE *)text, &size);
    if (r == ERROR_MORE_DATA && size <= DB_MAX_DESCRIPTION && (text = HeapAlloc(GetProcessHeap(), 0, size)))
        r = RegQueryValueExA(key, "Description", NULL, &type, (BYTE *)text, &size);
    uint32_t line;
    if (r == ERROR_SUCCESS && type == REG_BINARY && ParseComponent(text, size, &c, &line) == 0)
        c->id = componentId;
    if (text && text != small)
        HeapFree(GetProcessHeap(), 0, text);
    RegCloseKey(key);
    return c;
}

static int CompareIds(const void *a, const void *b)
{
    uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
    return x < y ? -1 : x > y;
}

uint32_t ListComponentIds(uint32_t *ids, uint32_t max)
{
    HKEY all = OpenComponents(KEY_READ, 0);
    uint32_t count = 0;
    if (!all)
        return 0;
    for (DWORD i = 0; count < max; i++) {
        char name[32];
        DWORD len = sizeof name;
        LONG r = RegEnumKeyExA(all, i, name, &len, NULL, NULL, NULL, NULL);
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA)
            break;
        if (r == ERROR_SUCCESS && ComponentIdOf(name, &ids[count]))
            count++;
    }
    RegCloseKey(all);
    qsort(ids, count, sizeof *ids, CompareIds);
    return count;
}
