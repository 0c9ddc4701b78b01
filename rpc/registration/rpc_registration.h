#ifndef VELK_RPC_REGISTRATION_H
#define VELK_RPC_REGISTRATION_H

/* Registration of an RPC interface as a server of this process, shared by the
   client transport (its callback listener) and the server transport. */

#include <windows.h>
#include <rpc.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Protocol sequence names and string bindings are held in slots of 64 bytes
   (63 characters and a terminator); a slot list has RPC_SLOT_COUNT slots. */
#define RPC_SLOT_SIZE 64
#define RPC_SLOT_COUNT 8
typedef char RpcSlot[RPC_SLOT_SIZE];

/* Registers iface on the first *count protocol sequences of protseqs (all the
   machine supports when *count is 0), replacing endpoints left in this
   machine's endpoint map by earlier registrations. On return *count holds the
   number of bindings the process has; bindings, when given, receives their
   string forms. entryName, when given, is exported to the name service. */
RPC_STATUS RegisterRpcServer(RPC_IF_HANDLE iface, unsigned long *count, const RpcSlot *protseqs,
                             RpcSlot *bindings, const char *entryName);

RPC_STATUS UnregisterRpcServer(RPC_IF_HANDLE iface, const char *entryName, int stopListening);

/* Removes every element of iface (compatible versions) from this machine's
   endpoint map, whichever process registered it. */
RPC_STATUS RemoveLocalEndpoints(RPC_IF_HANDLE iface);

#ifdef __cplusplus
}
#endif

#endif
