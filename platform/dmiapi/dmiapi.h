/* DMIAPI.DLL: a small, real DMI service layer for machines that have none.
 *
 * Exports (the called function removes the arguments):
 *   DmiInvoke   @1  carries out a DmiCommandBlock; 0: exactly one confirmation
 *                   follows through the registration's confirmCallback;
 *                   non-zero: refused, no confirmation.
 *   DmiInstall  @2  installation requests (operations below).
 *   DmiCiServe  @4  the instrumentation entry of direct-interface component
 *                   instrumentation: (InstrumentationRecord, block) carries out
 *                   773/774 on an instrumented group by calling the record's
 *                   routines, and fills the block's response as a row (below).
 *
 * Components (component_database.h holds the description language): installed
 * machine-wide with DmiInstall, seen by every process's service layer.
 *   513      lists the components that carry a group of the class named in the
 *            block (an empty class lists every component): returnedCount entries
 *            of 28 bytes from response offset 0:
 *              +0 component id      +4 group id of that class (0: empty class)
 *              +8 offset of the component's name, a DmiString (0: did not fit)
 *              +12 number of groups +16 1 when the group is instrumented
 *              +20, +24 zero
 *   773      first row of group +0x44 of component +0x40.
 *   774      the row after the row named by +0x48 BlockKeyEntrys at +0x4C.
 *            Groups without instrumentation answer from the component's rows,
 *            instrumented ones through the instrumentation DLL's DmiCiInvoke.
 *            A row fills the response (returnedCount 1):
 *              +0x00 component id   +0x04 group id   +0x08 attribute count n
 *              +0x0C offset of the first attribute entry (0x14)
 *              +0x10 key mask: bit i set when entry i is a key attribute; a 774
 *                    names the row by these attributes, in entry order
 *              +0x14 n entries of 12 bytes, in the group's attribute order:
 *                    attribute id, data type, value; type 1: the number,
 *                    type 8: response offset of a DmiString, type 0: no value
 *            so word +0x1C is the value of the group's first attribute.
 *   768-772  accepted on a component and completed with DMIAPI_STATUS_UNSUPPORTED
 *            (instrumented groups see them through DmiCiInvoke first).
 * A malformed command block (offsets or counts outside blockLength, no response
 * buffer) is refused with DMIAPI_ERR_BAD_BLOCK and not confirmed; every other
 * outcome is the completion status of the confirmation. Responses never
 * exceed responseSize.
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
    DMIAPI_ERR_BAD_DESCRIPTION = 0x3004, /* DmiInstall: the component description is malformed */
    DMIAPI_ERR_NO_SUCH_COMPONENT = 0x3005, /* DmiInstall: nothing installed under that id */
    DMIAPI_ERR_STORE = 0x3006,          /* DmiInstall: the component store cannot be written */
    DMIAPI_ERR_NO_MEMORY = 8,
};

/* Completion status of a command ended by a cancel (258) on its handle. */
#define DMIAPI_STATUS_CANCELLED 0x3010u

/* Completion statuses of commands on components. */
#define DMIAPI_STATUS_NO_SUCH_COMPONENT 0x3020u
#define DMIAPI_STATUS_NO_SUCH_GROUP 0x3021u
#define DMIAPI_STATUS_NO_SUCH_ROW 0x3022u         /* no first row, no row after, or key not found */
#define DMIAPI_STATUS_RESPONSE_TOO_SMALL 0x3023u  /* 513: the entries that fit are returned */
#define DMIAPI_STATUS_UNSUPPORTED 0x3024u
#define DMIAPI_STATUS_INSTRUMENTATION_FAILED 0x3025u /* the instrumentation DLL cannot be loaded */

/* Row response layout (773, 774). */
#define DMIAPI_ROW_HEADER_SIZE 0x14u
#define DMIAPI_ROW_ENTRY_SIZE 12u
#define DMIAPI_COMPONENT_ENTRY_SIZE 28u

#define DMIAPI_SPECIFICATION_LEVEL "DMI 1.0"
#define DMIAPI_DESCRIPTION "DMI service layer (stand-in)"

/* DmiInstall operations. */
enum {
    /* (1, buffer, size, 0, 0): writes the service layer's description, terminated. */
    DMIAPI_INSTALL_DESCRIBE = 1,
    /* (2, description text, its length, address of a word for the new component id,
     * address of a word for the line of the first fault or 0). */
    DMIAPI_INSTALL_COMPONENT = 2,
    /* (3, component id, 0, 0, 0). */
    DMIAPI_REMOVE_COMPONENT = 3,
};

uint32_t __stdcall DmiInvoke(DmiCommandBlock *block);
uint32_t __stdcall DmiInstall(uint32_t operation, uint32_t arg1, uint32_t arg2, uint32_t arg3, uint32_t arg4);
uint32_t __stdcall DmiCiServe(void *instrumentationRecord, DmiCommandBlock *block);

#ifdef __cplusplus
}
#endif

#endif
