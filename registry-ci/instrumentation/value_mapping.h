/* Attribute values of a row: the registry value read through the context's
 * cache, and its text forms. */
#ifndef VALUE_MAPPING_H
#define VALUE_MAPPING_H

#include "component_context.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ATTR_KEY_PATH = 1,
    ATTR_VALUE_NAME = 2,
    ATTR_VALUE_TYPE = 3,
    ATTR_ITEM_INDEX = 4,
    ATTR_VALUE_TEXT = 5,
};

/* Reads the row's value into the cache; writes the row's subkey path and value
 * name (ROKIN_TEXT_SIZE bytes each). 0: the value cannot be read. */
int ReadRowValue(ComponentContext *ctx, const AttributeValue *row, char *subPath, char *valueName);
/* Hexadecimal text of up to 681 bytes, "%.2X " each; returns its length. */
uint32_t FormatHexBytes(const unsigned char *data, uint32_t size, char *text);
/* String `index` of multi-string data, or 0 when there is none. */
int PickMultiString(const unsigned char *data, uint32_t size, uint32_t index, const char **text, uint32_t *length);
/* Attribute `attributeId` of the row last read, in the context's first result slot;
 * NULL when the attribute has no value. */
AttributeValue *ProduceAttributeValue(ComponentContext *ctx, uint32_t attributeId, const char *subPath,
                                      const char *valueName);

#ifdef __cplusplus
}
#endif

#endif
