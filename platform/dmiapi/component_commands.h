/* Commands on components (513, 768 to 774), carried out inside DmiInvoke before
 * the command's confirmation is owed. */
#ifndef COMPONENT_COMMANDS_H
#define COMPONENT_COMMANDS_H

#include <stdint.h>

#include "dmi_command_block.h"

#ifdef __cplusplus
extern "C" {
#endif

void ComponentCommandsAttach(void);
void ComponentCommandsDetach(void);
int IsComponentCommand(uint32_t command);
/* 0 with the command's completion status and returned count, or a refusal
 * (DMIAPI_ERR_BAD_BLOCK) after which no confirmation is owed. */
uint32_t CarryOutComponentCommand(DmiCommandBlock *block, uint32_t *status, uint32_t *count);
/* Cancel (258): every loaded instrumentation's DmiCiCancel. */
void CancelInstrumentation(void);

#ifdef __cplusplus
}
#endif

#endif
