/* Memory for the NDR stubs of every interface in a program: the process heap,
   which the RPC run time also uses for what it hands out. */
#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

void *__RPC_USER MIDL_user_allocate(size_t size)
{
    return HeapAlloc(GetProcessHeap(), 0, size);
}

void __RPC_USER MIDL_user_free(void *p)
{
    if (p)
        HeapFree(GetProcessHeap(), 0, p);
}
