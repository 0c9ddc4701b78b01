/* The service layer's component database: installed components, kept machine-wide
 * in the registry under DMIAPI_COMPONENTS_KEY, one subkey per component id holding
 * the component's description text.
 *
 * A description is a small MIF-like text, one statement a line; words are separated
 * by blanks, texts are written in double quotes (taken as written, backslashes
 * included; a text cannot hold a double quote), "#" starts a comment line:
 *
 *   component "NAME"
 *   group ID "CLASS" [instrumentation "MODULE.dll"]
 *   attribute ID string|integer [key]
 *   row VALUE VALUE ...
 *
 * `component` comes first, once. Each group lists its attributes, then (for a group
 * without instrumentation) its static rows, one value per attribute in attribute
 * order: a quoted text for a string attribute, a decimal number for an integer one.
 * A group with `instrumentation` is served by that direct-interface
 * instrumentation DLL through its DmiCiInvoke. */
#ifndef COMPONENT_DATABASE_H
#define COMPONENT_DATABASE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DMIAPI_COMPONENTS_KEY "SOFTWARE\\DMIAPI\\Components"
#define DB_MAX_DESCRIPTION 65536u
#define DB_MAX_GROUPS 16u
#define DB_MAX_ATTRIBUTES 16u
#define DB_MAX_VALUES 4096u
#define DB_MAX_MODULE 260u

typedef struct DbText {
    const char *chars;
    uint32_t length;
} DbText;

typedef struct DbAttribute {
    uint32_t id;
    uint32_t dataType; /* DMI_TYPE_STRING or DMI_TYPE_COUNTER */
    uint32_t isKey;
} DbAttribute;

typedef struct DbValue {
    uint32_t number;
    DbText text;
} DbValue;

typedef struct DbGroup {
    uint32_t id;
    DbText className;
    char module[DB_MAX_MODULE]; /* empty: rows come from the database */
    DbAttribute attributes[DB_MAX_ATTRIBUTES];
    uint32_t attributeCount;
    uint32_t firstValue; /* row r, attribute a: values[firstValue + r * attributeCount + a] */
    uint32_t rowCount;
} DbGroup;

typedef struct Component {
    uint32_t id;
    char *source; /* the description; every DbText points into it */
    DbText name;
    DbGroup groups[DB_MAX_GROUPS];
    uint32_t groupCount;
    DbValue values[DB_MAX_VALUES];
    uint32_t valueCount;
} Component;

/* Parses a description. 0, or DMIAPI_ERR_BAD_DESCRIPTION with the 1-based line of
 * the first fault in *errorLine. The component owns a copy of the text. */
uint32_t ParseComponent(const char *text, uint32_t length, Component **component, uint32_t *errorLine);
void FreeComponent(Component *component);

/* Checks and stores a description under a new component id. */
uint32_t InstallComponent(const char *text, uint32_t length, uint32_t *componentId, uint32_t *errorLine);
uint32_t RemoveComponent(uint32_t componentId);
/* The installed component, or NULL. */
Component *LoadComponent(uint32_t componentId);
/* Installed component ids in ascending order; returns how many, at most `max`. */
uint32_t ListComponentIds(uint32_t *ids, uint32_t max);

const DbGroup *FindGroup(const Component *component, uint32_t groupId);

#ifdef __cplusplus
}
#endif

#endif
