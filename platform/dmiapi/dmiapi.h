/* DMIAPI.DLL: a small, real DMI service layer for machines that have none.
 *
 * Exports (the called function removes the arguments):
 *   DmiInvoke   @1  carries out a DmiCommandBlock; 0: exactly one confirmation
 *                   follows through the registration's confirmCallback;
 *                   non-zero: refused, no confirmation.
 *   DmiInstall  @2  installation requests (operations below).
 *   DmiCiServe  @4  the instrumentation entry of direct-interface component
 *                   instrumentation.
 *
 * Test knobs: DWORD values under HKEY_LOCAL_MACHINE "SOFTWARE\DMIAPI\TestKnobs",
 * read at every registration and applied to it and to every command on its handle:
 *   RefuseRegistration    non-zero: 256 returns this value, nothing is registered
 *   NeverConfirm          non-zero: commands are accepted but never confirmed
 *   ConfirmInCall         non-zero: confirmations run inside DmiInvoke, before it returns
 *   RefuseUnregistration  non-zero: 257 returns this value, the handle stays
 *   ConfirmDelay          milliseconds a confirmation waits before it runs
 *   InvokeDelay           milliseconds DmiInvoke takes for a command on the handle
 *   FailRegistration      non-zero: a registration is confirmed, inside DmiInvoke,
 *                         with this completionStatus and handle 0 at +8
 */
#ifndef DMIAPI_H
#define DMIAPI_H

#include <stdint.h>

#include "dmi_command_block.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DMIAPI_KNOBS_KEY "SOFTWARE\\DMIAPI\\TestKnobs"

/* Results of the service layer itself. */
enum {
    DMIAPI_ERR_BAD_BLOCK = 0x3001,      /* null, short, unsigned or inconsistent block */
    DMIAPI_ERR_UNKNOWN_HANDLE = 0x3002, /* handle not issued by this service layer, or ended */
    DMIAPI_ERR_UNSUPPORTED = 0x3003,    /* operation this service layer does not offer */
    DMIAPI_ERR_NO_MEMORY = 8,
};

/* Completion status of a command ended by a cancel (258) on its handle. */
#define DMIAPI_STATUS_CANCELLED 0x3010u

#define DMIAPI_SPECIFICATION_LEVEL "DMI 1.0"
#define DMIAPI_DESCRIPTION "DMI service layer (stand-in)"

/* DmiInstall operations. */
enum {
    /* (1, buffer, size, 0, 0): writes the service layer's description, terminated. */
    DMIAPI_INSTALL_DESCRIBE = 1,
};

uint32_t __stdcall DmiInvoke(DmiCommandBlock *block);
uint32_t __stdcall DmiInstall(uint32_t operation, uint32_t arg1, uint32_t arg2, uint32_t arg3, uint32_t arg4);
uint32_t __stdcall DmiCiServe(void *instrumentationRecord, DmiCommandBlock *block);

#ifdef __cplusplus
}
#endif

#endif
