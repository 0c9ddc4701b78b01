#ifndef VELK_PROTOCOL_LIST_H
#define VELK_PROTOCOL_LIST_H

/* The process's protocol list: the protocol sequences a client tries, in order
   of preference, as configured by the registry value or the environment
   variable "VELKPROTOCOLS", else "ncacn_nb_nb" then "ncacn_ip_tcp". */

#include "rpc_registration.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ProtocolList {
    RpcSlot names[RPC_SLOT_COUNT];
    unsigned long count;
} ProtocolList;

extern ProtocolList protocolList;

#define PROTOCOL_KEY "SOFTWARE\\Orvane\\Brantis\\Parameters"
#define PROTOCOL_VALUE "VELKPROTOCOLS"

/* Rebuilds protocolList from the configuration. */
void ReadProtocolList(void);

#ifdef __cplusplus
}
#endif

#endif
