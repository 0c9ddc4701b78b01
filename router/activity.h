/* The router's activity report to the machine-wide status board. */
#ifndef ACTIVITY_H
#define ACTIVITY_H

#include "velkcomm.h"

/* Counters, one a lane of the activity word: ACTIVITY_LOCAL_INVOKES around calls
 * into the service layer, ACTIVITY_LOCAL_CONFIRMS around runs of RouterConfirm,
 * and the remote pair around a transport's invoke and the remote relay. */

/* Registers the router on the board (attach) and takes it off (detach). */
void RegisterActivity(void);
void UnregisterActivity(void);

/* Around every counted call or confirmation: raise, publish; lower, publish. */
void BeginActivity(int lane);
void EndActivity(int lane);

#endif
