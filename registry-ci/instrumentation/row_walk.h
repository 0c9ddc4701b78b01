/* The row walk: configured roots of a component and the order in which the
 * values below them become rows. */
#ifndef ROW_WALK_H
#define ROW_WALK_H

#include "component_context.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Hive handle of a configured key path (0 for an unknown hive name) and its subkey
 * path, written to `subPath` (ROKIN_TEXT_SIZE bytes). */
uint32_t SplitKeyPath(const char *keyPath, char *subPath);
/* Full key path "HIVE\subpath" in a process-wide buffer, or NULL for hive 0 or a
 * text longer than ROKIN_KEY_TEXT_MAX. */
const char *JoinKeyPath(uint32_t hive, const char *subPath, uint32_t *length);

int FindComponentRoot(ComponentContext *ctx, uint32_t componentId);
int AdvanceRootKey(ComponentContext *ctx);
int FindFirstValueBelow(ComponentContext *ctx, const char *path, char *foundPath, char *foundName);
int FindNextSiblingValue(ComponentContext *ctx, const char *path, char *foundPath, char *foundName);
KeyList *FindFirstRow(ComponentContext *ctx, uint32_t componentId);
int SelectRootFor(ComponentContext *ctx, uint32_t componentId, const char *fullKeyPath);
KeyList *FindNextRow(ComponentContext *ctx, uint32_t componentId, const AttributeValue *request);
uint32_t CountMultiStrings(HKEY key, const char *valueName);

#ifdef __cplusplus
}
#endif

#endif
