#include <windows.h>

#include "activity.h"

static uint32_t g_boardHandle;
static volatile LONG g_counters[4]; /* indexed by lane */

/* Each counter's low 8 bits in its own lane; lanes never carry into each other. */
static void PublishActivity(void)
{
    if (!g_boardHandle)
        return;
    uint32_t word = 0;
    for (int lane = 0; lane < 4; lane++)
        word |= ((uint32_t)g_counters[lane] & 0xFFu) << (8 * lane);
    ChangeStatus(g_boardHandle, word, 0);
}

void RegisterActivity(void)
{
    /* Whatever it returns is kept: the board refuses a failed registration's -1. */
    g_boardHandle = RegisterVelkDll();
}

void UnregisterActivity(void)
{
    if (g_boardHandle)
        UnregisterVelkDll(g_boardHandle);
    g_boardHandle = 0;
}

void BeginActivity(int lane)
{
    InterlockedIncrement(&g_counters[lane]);
    PublishActivity();
}

void EndActivity(int lane)
{
    InterlockedDecrement(&g_counters[lane]);
    PublishActivity();
}
