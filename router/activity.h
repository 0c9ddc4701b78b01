/* The router's activity report to the machine-wide status board. */
#ifndef ACTIVITY_H
#define ACTIVITY_H

#include <windows.h>

typedef enum ActivityCounter {
    LOCAL_CONFIRMS = 0,  /* runs of RouterConfirm */
    LOCAL_INVOKES = 1,   /* calls into the service layer's DmiInvoke */
    REMOTE_CONFIRMS = 2, /* runs of the remote confirmation relay */
    REMOTE_INVOKES = 3,  /* calls into a transport's invoke function */
} ActivityCounter;

/* Registers the router on the board (attach) and takes it off (detach). */
void RegisterActivity(void);
void UnregisterActivity(void);

/* Around every counted call or confirmation: raise, publish; lower, publish. */
void BeginActivity(ActivityCounter counter);
void EndActivity(ActivityCounter counter);

#endif
