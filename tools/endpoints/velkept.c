/* velkept: lists the server interface's endpoints in a system's endpoint map
   and, on the local system, removes them. */
#include <windows.h>
#include <rpc.h>
#include <stdio.h>
#include <string.h>

#include "rpcrt.h"
#include "velk_server.h"

#define NAME_SIZE 32 /* 31 characters and a terminator */

static const char title[] = "\nVELKEPT: Display VELK server RPC endpoints on a system\n\n";
static const char usage[] = "Usage:\n       velkept [-p protocol] [-u] system\n";

static int Usage(void)
{
    fputs(usage, stdout);
    return 1;
}

/* Longer names than the buffers hold are cut. */
static void CopyName(char *to, const char *from)
{
    lstrcpynA(to, from, NAME_SIZE);
}

static void ListEndpoints(const char *system, const char *protseq, int remove)
{
    RPC_CSTR text = NULL;
    RPC_BINDING_HANDLE binding = NULL;
    RPC_EP_INQ_HANDLE inquiry = NULL;
    RPC_IF_ID id;

    if (RpcStringBindingComposeA(NULL, (RPC_CSTR)protseq, (RPC_CSTR)system, NULL, NULL, &text) ==
        RPC_S_OK)
        RpcBindingFromStringBindingA(text, &binding);
    RpcStringFreeA(&text);

    printf("\nRegistered VELK endpoints on %s:\n\n", system);

    if (binding && RpcIfInqId(VelkServer_v1_0_c_ifspec, &id) == RPC_S_OK &&
        RtMgmtEpEltInqBegin(binding, RPC_C_EP_MATCH_BY_IF, &id, RPC_C_VERS_COMPATIBLE, NULL,
                            &inquiry) == RPC_S_OK) {
        RPC_BINDING_HANDLE element = NULL;
        RPC_CSTR annotation = NULL;
        while (RtMgmtEpEltInqNextA(inquiry, NULL, &element, NULL, &annotation) == RPC_S_OK) {
            RPC_CSTR elementText = NULL;
            RpcBindingToStringBindingA(element, &elementText);
            printf(" %s %s", elementText ? (const char *)elementText : "",
                   annotation ? (const char *)annotation : "");
            RpcStringFreeA(&elementText);
            RpcStringFreeA(&annotation);
            if (remove) {
                RPC_BINDING_VECTOR one = {1, {element}};
                RPC_STATUS status = RtEpUnregister(VelkServer_v1_0_c_ifspec, &one, NULL);
                if (status == RPC_S_OK)
                    fputs(" - removed\n", stdout);
                else
                    printf(" - not removed (rc = %ld)\n", (long)status);
            } else {
                fputs("\n", stdout);
            }
            RpcBindingFree(&element);
        }
        RtMgmtEpEltInqDone(&inquiry);
    }
    if (binding)
        RpcBindingFree(&binding);
}

int main(int argc, char **argv)
{
    char computer[NAME_SIZE] = "", system[NAME_SIZE], protseq[NAME_SIZE] = "";
    DWORD size = 31;
    int local = 1, remove = 0;

    GetComputerNameA(computer, &size);
    lstrcpyA(system, computer);

    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] == '-' || arg[0] == '/') {
            switch (arg[1]) {
            case '?':
            case 'h':
            case 'H':
                fputs(title, stdout);
                fputs(usage, stdout);
                return 0;
            case 'p':
            case 'P':
                if (arg[2]) {
                    CopyName(protseq, arg + 2);
                } else if (i + 1 < argc) {
                    CopyName(protseq, argv[++i]);
                } else {
                    return Usage();
                }
                break;
            case 'u':
            case 'U':
                remove = 1;
                break;
            default:
                return Usage();
            }
        } else {
            CopyName(system, arg);
            if (lstrcmpiA(system, computer) != 0) {
                local = 0;
                if (!protseq[0])
                    lstrcpyA(protseq, "ncacn_ip_tcp");
            }
        }
    }
    if (!protseq[0])
        lstrcpyA(protseq, "ncalrpc");
    if (!local && remove) {
        printf("\nSystem \"%s\" not local: -U ignored\n", system);
        remove = 0;
    }
    ListEndpoints(system, protseq, remove);
    return 0;
}
