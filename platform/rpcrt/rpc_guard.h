#ifndef VELK_RPC_GUARD_H
#define VELK_RPC_GUARD_H

/* Runs an RPC call so that an exception raised by the RPC run time (a
   communication failure, a fault from the server, a stub's complaint) comes
   back as a status instead of ending the process. Access violations and other
   system exceptions pass through untouched.

   Guard only the RPC call itself: nothing between the guard and the point
   where the run time raises may need unwinding (no C++ destructors). */

#include <windows.h>
#include <rpc.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*RpcGuardedCall)(void *arg);

/* Calls call(arg); returns 0, or the RPC status carried by the exception. */
RPC_STATUS RpcGuardCall(RpcGuardedCall call, void *arg);

#ifdef __cplusplus
}
#endif

#endif
