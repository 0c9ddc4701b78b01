/* DmiString: a 32-bit length followed by that many 8-bit characters, the string
 * form inside blocks, response buffers and attribute values. */
#ifndef DMI_STRING_H
#define DMI_STRING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes `length` characters of `text` as a DmiString, followed by a zero byte,
 * at `offset` of a buffer of `size` bytes. Returns the offset just past it,
 * rounded up to a 4-byte boundary, or 0 (nothing written) if it does not fit. */
uint32_t DmiStringPut(void *buffer, uint32_t size, uint32_t offset, const char *text, uint32_t length);

/* Finds the DmiString at `offset` of a buffer of `size` bytes. Returns 1 with
 * its characters and length when the whole string lies inside, else 0. */
int DmiStringGet(const void *buffer, uint32_t size, uint32_t offset, const char **text, uint32_t *length);

#ifdef __cplusplus
}
#endif

#endif
