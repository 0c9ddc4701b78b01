/* VELKCOMM.dll: the machine-wide status board.
 *
 * Router instances, server programs and monitor programs register on the board.
 * A registration is named by a board handle, valid in every process of the
 * machine; Register calls return BOARD_INVALID_HANDLE on failure with the
 * reason as the thread's last error (8 heap exhausted, 69 no thread or event).
 * Callbacks run on a thread of the registering process, without the board's
 * lock; a callback must not unregister its own registration.
 *
 * Exports (the called function removes the arguments), by name and ordinal:
 *   1 RegisterEventCallback  2 UnregisterEventCallback  3 RegisterVelkServer
 *   4 UnregisterVelkServer   5 RegisterVelkDll          6 UnregisterVelkDll
 *   7 ChangeStatus           8 GetStatus                9 SuspendCallbacks
 *  10 ResumeCallbacks       11 SetRemoteAccess
 */
#ifndef VELKCOMM_H
#define VELKCOMM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BOARD_INVALID_HANDLE 0xFFFFFFFFu

/* Status flags: GetStatus's result and every EventCallback's argument. */
#define STATUS_REMOTE_INVOKE 0x00000001u   /* remote invocations in progress */
#define STATUS_REMOTE_CALLBACK 0x00000002u /* remote confirmations being relayed */
#define STATUS_SERVER_ACTIVE 0x00000004u
#define STATUS_SL_ALIVE 0x00010000u        /* the service layer answered the last probe */
#define STATUS_SERVER_PRESENT 0x00020000u

/* Router activity word: four 8-bit lanes, each counting modulo 256. */
#define ACTIVITY_LANE(word, lane) (((word) >> (8 * (lane))) & 0xFFu)
enum {
    ACTIVITY_LOCAL_CONFIRMS = 0,
    ACTIVITY_LOCAL_INVOKES = 1,
    ACTIVITY_REMOTE_CONFIRMS = 2,
    ACTIVITY_REMOTE_INVOKES = 3,
};

/* Remote-access requests reach servers with this bit set. */
#define REMOTE_ACCESS_PENDING 0x80000000u

typedef void(__stdcall *EventCallback)(uint32_t statusFlags);
typedef void(__stdcall *ServerCallback)(uint32_t remoteAccessRequest);

uint32_t __stdcall RegisterEventCallback(EventCallback callback);
uint32_t __stdcall UnregisterEventCallback(uint32_t handle);
uint32_t __stdcall RegisterVelkServer(ServerCallback callback);
uint32_t __stdcall UnregisterVelkServer(uint32_t handle);
uint32_t __stdcall RegisterVelkDll(void);
uint32_t __stdcall UnregisterVelkDll(uint32_t handle);

/* Router handle: value is the activity word, extra unused. Server handle:
 * value is its status, extra its activity. 0, or 6 for any other handle. */
uint32_t __stdcall ChangeStatus(uint32_t handle, uint32_t value, uint32_t extra);

/* Status flags; also the lane-wise activity total of all routers and the last
 * server status, where the pointers are not null. */
uint32_t __stdcall GetStatus(uint32_t reserved, uint32_t *activityTotal, uint32_t *serverStatus);

/* Event-callback handles only; always 0. */
uint32_t __stdcall SuspendCallbacks(uint32_t handle);
uint32_t __stdcall ResumeCallbacks(uint32_t handle);
uint32_t __stdcall SetRemoteAccess(uint32_t handle, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif
