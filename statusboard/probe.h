/* Whether the machine's DMI service layer answers: one registration through
 * "DMIAPI.DLL", confirmed within 5 seconds, and its unregistration. */
#ifndef PROBE_H
#define PROBE_H

#include <stdint.h>

/* Run with the board's global lock held. 1 if the service layer confirmed the
 * registration and accepted the unregistration. */
uint32_t ProbeServiceLayer(void);

void ProbeProcessInit(void);
void ProbeProcessRelease(void);

#endif
