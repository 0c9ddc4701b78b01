// A party on the status board for multi-process tests: reads one command a line
// from standard input, answers one line on standard output, and prints a line
// for every callback. Ends at the end of its input, leaving its registrations to
// the library's detach, or at once on "exit".
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "board.h"
#include "velkcomm.h"

static CRITICAL_SECTION g_output;

static void Say(const char *format, unsigned a = 0, unsigned b = 0, unsigned c = 0, unsigned d = 0)
{
    EnterCriticalSection(&g_output);
    printf(format, a, b, c, d);
    putchar('\n');
    fflush(stdout);
    LeaveCriticalSection(&g_output);
}

static void __stdcall OnEvent(uint32_t flags)
{
    Say("event 0x%08X", flags);
}

static void __stdcall OnRequest(uint32_t request)
{
    Say("request 0x%08X", request);
}

int main()
{
    InitializeCriticalSection(&g_output);
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        char command[32] = "";
        unsigned a = 0, b = 0, c = 0;
        if (sscanf(line, "%31s %i %i %i", command, (int *)&a, (int *)&b, (int *)&c) < 1)
            continue;
        if (!strcmp(command, "event")) {
            uint32_t h = RegisterEventCallback(OnEvent);
            Say("handle %u %u", h, GetLastError());
        } else if (!strcmp(command, "server")) {
            uint32_t h = RegisterVelkServer(OnRequest);
            Say("handle %u %u", h, GetLastError());
        } else if (!strcmp(command, "router")) {
            uint32_t h = RegisterVelkDll();
            Say("handle %u %u", h, GetLastError());
        } else if (!strcmp(command, "change")) {
            Say("result %u", ChangeStatus(a, b, c));
        } else if (!strcmp(command, "status")) {
            uint32_t total = 0, serverStatus = 0;
            DWORD start = GetTickCount();
            uint32_t flags = GetStatus(0, &total, &serverStatus);
            Say("status 0x%08X 0x%08X 0x%08X %u", flags, total, serverStatus, GetTickCount() - start);
        } else if (!strcmp(command, "unregister-event")) {
            uint32_t r = UnregisterEventCallback(a);
            Say("result %u %u", r, GetLastError());
        } else if (!strcmp(command, "unregister-server")) {
            uint32_t r = UnregisterVelkServer(a);
            Say("result %u %u", r, GetLastError());
        } else if (!strcmp(command, "unregister-router")) {
            uint32_t r = UnregisterVelkDll(a);
            Say("result %u %u", r, GetLastError());
        } else if (!strcmp(command, "suspend")) {
            Say("result %u", SuspendCallbacks(a));
        } else if (!strcmp(command, "resume")) {
            Say("result %u", ResumeCallbacks(a));
        } else if (!strcmp(command, "access")) {
            Say("result %u", SetRemoteAccess(a, b));
        } else if (!strcmp(command, "lock")) {
            /* Holds the board's lock the way a board operation does, until killed. */
            HANDLE lock = OpenMutexA(SYNCHRONIZE, FALSE, BOARD_GLOBAL_LOCK_NAME);
            DWORD wait = lock ? WaitForSingleObject(lock, INFINITE) : WAIT_FAILED;
            Say("locked %u", wait);
        } else if (!strcmp(command, "exit")) {
            ExitProcess(a);
        } else {
            Say("unknown");
        }
    }
    return 0;
}
