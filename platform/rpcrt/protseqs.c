#include "rpcrt.h"

RPC_STATUS RtServerUseAllProtseqs(unsigned int MaxCalls, void *SecurityDescriptor)
{
    static const char *const all[] = {"ncacn_ip_tcp", "ncacn_np", "ncalrpc", "ncadg_ip_udp"};
    int used = 0;

    for (size_t i = 0; i < sizeof all / sizeof all[0]; i++)
        if (RpcServerUseProtseqA((RPC_CSTR)all[i], MaxCalls, SecurityDescriptor) == RPC_S_OK)
            used++;
    return used ? RPC_S_OK : RPC_S_NO_PROTSEQS;
}
