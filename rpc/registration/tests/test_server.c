/* A server of both interfaces for tests, registered with RegisterRpcServer:
     velk_test_server PROTSEQ[,PROTSEQ...]   or   velk_test_server all
   Its manager routines change what they receive in a way tests can check.
   Signals the named event "VELK_TEST_SERVER_READY" once it listens; exits with
   the registration status when registration fails. */
#include <windows.h>
#include <rpc.h>
#include <stdio.h>
#include <string.h>

#include "rpc_registration.h"
#include "velk_callback.h"
#include "velk_server.h"

static void Flip(unsigned char *bytes, long count)
{
    for (long i = 0; i < count; i++)
        bytes[i] ^= 0xFF;
}

ConnectionContext RemoteConnect(handle_t binding, char *callbackBinding)
{
    char *copy;
    if (strcmp(callbackBinding, "refuse") == 0)
        return NULL;
    copy = HeapAlloc(GetProcessHeap(), 0, strlen(callbackBinding) + 1);
    if (copy)
        strcpy(copy, callbackBinding);
    return copy;
}

long RemoteDisconnect(ConnectionContext *context)
{
    HeapFree(GetProcessHeap(), 0, *context);
    *context = NULL;
    return 0;
}

long RemoteInvoke(ConnectionContext context, long byteCount, unsigned char *bytes)
{
    /* The run time's server stub lets a null context through. */
    if (!context)
        RpcRaiseException(RPC_X_SS_IN_NULL_CONTEXT);
    Flip(bytes, byteCount);
    return byteCount + 1000;
}

long RemoteInvokeDirect(handle_t binding, long byteCount, unsigned char *bytes)
{
    return 0;
}

void __RPC_USER ConnectionContext_rundown(ConnectionContext context)
{
    HeapFree(GetProcessHeap(), 0, context);
}

long CallbackResponse(handle_t binding, long imageSize, unsigned char *blockImage, long dataSize,
                      unsigned char *responseData)
{
    Flip(blockImage, imageSize);
    Flip(responseData, dataSize);
    return imageSize + dataSize;
}

long CallbackNotify(handle_t binding, unsigned char *notifyTag, long byteCount,
                    unsigned char *bytes)
{
    Flip(bytes, byteCount);
    return *notifyTag + byteCount;
}

int main(int argc, char **argv)
{
    RpcSlot protseqs[RPC_SLOT_COUNT];
    unsigned long count = 0;
    RPC_STATUS status;
    HANDLE ready;

    memset(protseqs, 0, sizeof protseqs);
    if (argc < 2) {
        fprintf(stderr, "usage: velk_test_server PROTSEQ[,PROTSEQ...] | all\n");
        return 2;
    }
    if (strcmp(argv[1], "all") != 0) {
        for (char *p = strtok(argv[1], ","); p && count < RPC_SLOT_COUNT; p = strtok(NULL, ","))
            lstrcpynA(protseqs[count++], p, RPC_SLOT_SIZE);
    }
    unsigned long serverCount = count, callbackCount = count;
    status = RegisterRpcServer(VelkServer_v1_0_s_ifspec, &serverCount, protseqs, NULL, NULL);
    if (status == RPC_S_OK)
        status = RegisterRpcServer(VelkCallback_v1_0_s_ifspec, &callbackCount, protseqs, NULL, NULL);
    if (status == RPC_S_OK)
        status = RpcServerListen(1, 20, TRUE);
    if (status != RPC_S_OK) {
        fprintf(stderr, "velk_test_server: registration failed (status %ld)\n", (long)status);
        return (int)status;
    }
    ready = CreateEventA(NULL, TRUE, FALSE, "VELK_TEST_SERVER_READY");
    SetEvent(ready);
    RpcMgmtWaitServerListen();
    return 0;
}
