/* ComponentContext: the state rokindll keeps per management handle (walk
 * position, value cache, the record handed to the service layer), and the row
 * records exchanged with the service layer. */
#ifndef COMPONENT_CONTEXT_H
#define COMPONENT_CONTEXT_H

#include <windows.h>

#include <stdint.h>

#include "dmi_instrumentation.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ROKIN_CONFIG_ROOT "SYSTEM\\CurrentControlSet\\Services\\ROKIN"
#define ROKIN_TEXT_SIZE 256      /* walk texts: at most 255 characters and a zero */
#define ROKIN_KEY_TEXT_MAX 252   /* characters of a key list's path and name texts */
#define ROKIN_DATA_SIZE 2048     /* cached value data, and characters of a value's text */

/* A DmiString of at most ROKIN_KEY_TEXT_MAX characters, zero after them. */
typedef struct KeyText {
    uint32_t length;
    char chars[ROKIN_KEY_TEXT_MAX + 4];
} KeyText;

/* Names one row, read by position: (1, 8, key path), (2, 8, value name), (4, 1, item). */
typedef struct KeyList {
    AttributeValue entries[3];
} KeyList;

typedef struct ComponentContext {
    struct ComponentContext *next, *prev;
    uint32_t ownerHandle;
    HKEY openKey;
    uint32_t openHive;
    uint32_t workHive;
    char curPath[ROKIN_TEXT_SIZE];
    uint32_t curPathLen;
    uint32_t keyInfoValid;
    uint32_t subkeyCount, valueCount;
    char nextPath[ROKIN_TEXT_SIZE];
    uint32_t nextPathLen;
    char curValue[ROKIN_TEXT_SIZE];
    uint32_t curValueLen;
    uint32_t valueIndex;
    uint32_t valueType;
    uint32_t itemCount;
    uint32_t curItem;
    char nextValue[ROKIN_TEXT_SIZE];
    uint32_t nextValueLen;
    uint32_t nextItem;
    char configKeyPath[ROKIN_TEXT_SIZE];
    char rootValueName[ROKIN_TEXT_SIZE];
    char rootPath[ROKIN_TEXT_SIZE];
    uint32_t firstRowValid, nextRowValid;
    KeyList firstKeys, nextKeys;
    KeyText pathText, nameText;
    uint32_t firstItem;
    char openPath[ROKIN_TEXT_SIZE];
    char cachedName[ROKIN_TEXT_SIZE];
    AttributeValue resultArea[3];
    InstrumentationRecord record;
    uint32_t cachedType;
    unsigned char cachedData[ROKIN_DATA_SIZE];
    uint32_t cachedSize;
    uint32_t requestItem;
    /* cachedName holds a name: an empty name is the key's default value, not "none". */
    uint32_t cachedNameValid;
    /* Hive of curPath: a request repeats the current key only under the same hive. */
    uint32_t curHive;
} ComponentContext;

#ifdef __cplusplus
}
#endif

#endif
