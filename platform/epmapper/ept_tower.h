#ifndef VELK_EPT_TOWER_H
#define VELK_EPT_TOWER_H

/* Protocol towers of the DCE endpoint map: what one names (interface,
   transfer syntax, protocol sequence, endpoint, network address), read with
   every length checked against the octets that carry it. */

#include <windows.h>
#include <rpc.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EPT_TOWER_TEXT 128

typedef struct EptTowerInfo {
    UUID ifUuid;
    unsigned short ifMajor, ifMinor;
    UUID syntaxUuid;
    unsigned short syntaxMajor, syntaxMinor;
    unsigned char protocolId;          /* floor 3: RPC protocol */
    unsigned char endpointId;          /* floor 4: transport; 0 when absent */
    const char *protseq;               /* NULL for a combination we cannot name */
    char endpoint[EPT_TOWER_TEXT];     /* empty when absent */
    char address[EPT_TOWER_TEXT];      /* empty when absent or unspecified */
} EptTowerInfo;

/* Returns 1 and fills info for a well-formed tower, else 0. */
int EptTowerParse(const unsigned char *octets, unsigned long length, EptTowerInfo *info);

/* Writes the tower of an interface (NDR transfer syntax) reached over protseq
   at endpoint and address, either of which may be empty. Returns its length,
   or 0 for a protocol sequence without a tower form or a tower longer than size. */
unsigned long EptTowerBuild(const RPC_SYNTAX_IDENTIFIER *iface, const char *protseq,
                            const char *endpoint, const char *address, unsigned char *out,
                            unsigned long size);

/* Same interface, transfer syntax, protocol and endpoint; network address ignored,
   since one endpoint map serves one machine under any of its addresses. */
int EptTowerSameEndpoint(const EptTowerInfo *a, const EptTowerInfo *b);

#ifdef __cplusplus
}
#endif

#endif
