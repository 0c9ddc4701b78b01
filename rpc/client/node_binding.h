#ifndef VELK_NODE_BINDING_H
#define VELK_NODE_BINDING_H

/* Binding a client to an interface on a named node through that node's
   endpoint map, and choosing the callback binding that fits a server binding. */

#include "rpc_registration.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The partial string binding BindToNode starts from: protseq and nodeName, the
   name cut to 16 characters for the NetBIOS protocol sequences. */
RPC_STATUS ComposeNodeBinding(const char *protseq, const char *nodeName, RPC_CSTR *text);

/* nodeName: at most 63 characters, without leading backslashes. On 0, *binding
   is a complete binding (with endpoint) to iface on that node over protseq. */
RPC_STATUS BindToNode(RPC_IF_HANDLE iface, const char *protseq, const char *nodeName,
                      RPC_BINDING_HANDLE *binding);

/* partial: protocol sequence and network address of a node, no endpoint. 0 when
   the node's endpoint map holds iface over that protocol sequence (compared
   without regard to case); else the status that ended the enumeration. */
RPC_STATUS FindServerEndpoint(RPC_IF_HANDLE iface, RPC_BINDING_HANDLE partial,
                              RPC_BINDING_HANDLE *binding);

/* The first of the first count entries whose protocol sequence (the text before
   its first colon) is exactly that of binding, or NULL. */
const char *MatchCallbackBinding(const RpcSlot *list, unsigned long count,
                                 RPC_BINDING_HANDLE binding);

#ifdef __cplusplus
}
#endif

#endif
