#include "rpc_guard.h"

#include <intrin.h>

/* An SEH registration record on the stack, linked into fs:[0]; the setjmp
   buffer after it lets the handler return into RpcGuardCall's frame. */
typedef struct GuardFrame {
    struct GuardFrame *prev;
    void *handler;
    void *jump[5];
    DWORD code;
} GuardFrame;

/* RPC statuses are Win32 error values; system exceptions (access violation,
   stack overflow, breakpoints) carry NTSTATUS codes with high bits set. */
static int IsRpcException(DWORD code)
{
    return code != 0 && code < 0x10000;
}

static EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD *record, void *frame,
                                                  CONTEXT *context, void *dispatcher)
{
    GuardFrame *guard = frame;

    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    if (!IsRpcException(record->ExceptionCode))
        return ExceptionContinueSearch;

    guard->code = record->ExceptionCode;
    /* Let the frames above ours (the run time's own handlers) clean up. */
    RtlUnwind(frame, NULL, record, NULL);
    __writefsdword(0, (DWORD)guard->prev);
    __builtin_longjmp(guard->jump, 1);
}

/* Not inlined: the setjmp buffer must stay in this function's own frame. */
__attribute__((noinline)) RPC_STATUS RpcGuardCall(RpcGuardedCall call, void *arg)
{
    volatile GuardFrame guard;

    guard.code = 0;
    guard.handler = (void *)GuardHandler;
    guard.prev = (GuardFrame *)__readfsdword(0);
    if (__builtin_setjmp((void **)guard.jump) == 0) {
        __writefsdword(0, (DWORD)&guard);
        call(arg);
        __writefsdword(0, (DWORD)guard.prev);
        return 0;
    }
    /* The handler has already taken the frame off the chain. */
    return guard.code;
}
