/* Imports RegisterVelkDll, UnregisterVelkDll and ChangeStatus by ordinal only,
 * as the router does: registers, reports the activity word given on its command
 * line, prints the handle and the result, and unregisters when its input ends. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "velkcomm.h"

int main(int argc, char **argv)
{
    uint32_t activity = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 0) : 0;
    uint32_t handle = RegisterVelkDll();
    printf("handle %u %u\n", handle, ChangeStatus(handle, activity, 0));
    fflush(stdout);
    char line[16];
    while (fgets(line, sizeof line, stdin))
        ;
    printf("result %u\n", UnregisterVelkDll(handle));
    return 0;
}
