/* VELKDLL.dll: the DMI call router. Management applications call these in place
 * of the service layer's entry points; blocks go to the local service layer, or
 * with command DMI_CMD_REGISTER_AT_NODE to the service layer of a named node. */
#ifndef VELKDLL_H
#define VELKDLL_H

#include <stdint.h>

#include "dmi_command_block.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0: accepted, the confirmation follows through the registration's callback. */
uint32_t __stdcall DmiInvoke(DmiCommandBlock *block);
/* As DmiInvoke, but returns only once the confirmation has been processed, and
 * the application's callback is not called for it. */
uint32_t __stdcall DmiInvokeEx(DmiCommandBlock *block);
/* Passed to the service layer's DmiInstall unchanged. */
uint32_t __stdcall DmiInstall(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5);

#ifdef __cplusplus
}
#endif

#endif
