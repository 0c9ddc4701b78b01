/* statusmon: watches the machine's status board and prints one line per change
 * of the status flags, the router activity lanes or the server status.
 *
 *   statusmon [-once] [-changes N] [-seconds S]
 *     -once        print the current status once and exit
 *     -changes N   exit after N changes
 *     -seconds S   exit after S seconds
 *   Without options it runs until Ctrl+C.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velkcomm.h"

typedef struct Snapshot {
    uint32_t flags, activity, serverStatus;
} Snapshot;

static CRITICAL_SECTION g_lock;
static HANDLE g_done;
static Snapshot g_last;
static unsigned long g_changes, g_changeLimit;

static void PrintStatus(const char *label, const Snapshot *s)
{
    static const struct {
        uint32_t flag;
        const char *name;
    } names[] = {
        {STATUS_REMOTE_INVOKE, "REMOTE_INVOKE"}, {STATUS_REMOTE_CALLBACK, "REMOTE_CALLBACK"},
        {STATUS_SERVER_ACTIVE, "SERVER_ACTIVE"}, {STATUS_SL_ALIVE, "SL_ALIVE"},
        {STATUS_SERVER_PRESENT, "SERVER_PRESENT"},
    };
    char flags[128] = "";
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        if (s->flags & names[i].flag) {
            if (flags[0])
                strcat(flags, " ");
            strcat(flags, names[i].name);
        }
    SYSTEMTIME t;
    GetLocalTime(&t);
    printf("%02u:%02u:%02u.%03u %-6s flags 0x%08X [%s] lanes remote-invoke %u remote-confirm %u local-invoke %u "
           "local-confirm %u server-status 0x%08X\n",
           t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, label, s->flags, flags[0] ? flags : "none",
           ACTIVITY_LANE(s->activity, ACTIVITY_REMOTE_INVOKES), ACTIVITY_LANE(s->activity, ACTIVITY_REMOTE_CONFIRMS),
           ACTIVITY_LANE(s->activity, ACTIVITY_LOCAL_INVOKES), ACTIVITY_LANE(s->activity, ACTIVITY_LOCAL_CONFIRMS),
           s->serverStatus);
    fflush(stdout);
}

static Snapshot ReadStatus(void)
{
    Snapshot s;
    s.flags = GetStatus(0, &s.activity, &s.serverStatus);
    return s;
}

/* Called on every pulse; pulses also come when nothing changed, and several
 * changes may fold into one wake-up. */
static void __stdcall OnStatus(uint32_t flags)
{
    Snapshot now = ReadStatus();
    EnterCriticalSection(&g_lock);
    if (memcmp(&now, &g_last, sizeof now) != 0) {
        g_last = now;
        PrintStatus("change", &now);
        if (++g_changes == g_changeLimit)
            SetEvent(g_done);
    }
    LeaveCriticalSection(&g_lock);
}

static BOOL WINAPI OnConsoleBreak(DWORD type)
{
    SetEvent(g_done);
    return TRUE;
}

static int Usage(void)
{
    fprintf(stderr, "usage: statusmon [-once] [-changes N] [-seconds S]\n");
    return 2;
}

/* A positive whole number, or 0 when the text is not one. */
static unsigned long Count(const char *text)
{
    char *end;
    unsigned long n = strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && !*end && n <= 1000000 ? n : 0;
}

int main(int argc, char **argv)
{
    int once = 0;
    unsigned long seconds = 0;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-once")) {
            once = 1;
        } else if (!strcmp(argv[i], "-changes") && i + 1 < argc) {
            if (!(g_changeLimit = Count(argv[++i])))
                return Usage();
        } else if (!strcmp(argv[i], "-seconds") && i + 1 < argc) {
            if (!(seconds = Count(argv[++i])))
                return Usage();
        } else {
            return Usage();
        }
    }

    Snapshot now = ReadStatus();
    if (once) {
        PrintStatus("status", &now);
        return 0;
    }

    InitializeCriticalSection(&g_lock);
    g_done = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!g_done) {
        fprintf(stderr, "statusmon: cannot create an event (error %lu)\n", GetLastError());
        return 1;
    }
    g_last = now;
    PrintStatus("start", &now);
    uint32_t handle = RegisterEventCallback(OnStatus);
    if (handle == BOARD_INVALID_HANDLE) {
        fprintf(stderr, "statusmon: cannot register with the status board (error %lu)\n", GetLastError());
        return 1;
    }
    SetConsoleCtrlHandler(OnConsoleBreak, TRUE);
    WaitForSingleObject(g_done, seconds ? seconds * 1000 : INFINITE);
    UnregisterEventCallback(handle);
    EnterCriticalSection(&g_lock);
    printf("statusmon: %lu change(s) seen\n", g_changes);
    LeaveCriticalSection(&g_lock);
    return 0;
}
