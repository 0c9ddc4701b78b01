/* ChangeStatus calls per second, as a router makes them around every operation:
 * from one process, and from several processes at once.
 *
 *   changestatus_bench [-seconds S] [-processes N] [-monitor]
 *     -monitor  also keeps an event-callback registration woken by every pulse
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velkcomm.h"

static volatile LONG g_callbacks;

static void __stdcall CountCallback(uint32_t flags)
{
    InterlockedIncrement(&g_callbacks);
}

/* Reports as a router does for `seconds` once `start` is set; returns the count. */
static DWORD Run(DWORD seconds, HANDLE start)
{
    uint32_t handle = RegisterVelkDll();
    if (handle == BOARD_INVALID_HANDLE)
        return 0;
    if (start)
        WaitForSingleObject(start, INFINITE);
    DWORD calls = 0, end = GetTickCount() + seconds * 1000;
    while ((LONG)(GetTickCount() - end) < 0) {
        for (int i = 0; i < 256; i++, calls++)
            ChangeStatus(handle, (calls & 1) ? 0x00000100u : 0, 0);
    }
    ChangeStatus(handle, 0, 0);
    UnregisterVelkDll(handle);
    return calls;
}

int main(int argc, char **argv)
{
    DWORD seconds = 3, processes = 1;
    int monitor = 0;
    const char *startName = NULL;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-seconds") && i + 1 < argc)
            seconds = strtoul(argv[++i], NULL, 10);
        else if (!strcmp(argv[i], "-processes") && i + 1 < argc)
            processes = strtoul(argv[++i], NULL, 10);
        else if (!strcmp(argv[i], "-monitor"))
            monitor = 1;
        else if (!strcmp(argv[i], "-child") && i + 1 < argc)
            startName = argv[++i];
        else {
            fprintf(stderr, "usage: changestatus_bench [-seconds S] [-processes N] [-monitor]\n");
            return 2;
        }
    }
    if (seconds < 1 || seconds > 600 || processes < 1 || processes > 16) {
        fprintf(stderr, "changestatus_bench: 1 to 600 seconds, 1 to 16 processes\n");
        return 2;
    }

    if (startName) {
        /* A child: its count is its exit code. */
        HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, startName);
        return start ? (int)Run(seconds, start) : 0;
    }

    uint32_t watcher = monitor ? RegisterEventCallback(CountCallback) : BOARD_INVALID_HANDLE;
    DWORD total = 0;
    if (processes == 1) {
        total = Run(seconds, NULL);
        printf("1 process: %lu calls in %lu s\n", total, seconds);
    } else {
        char name[64], self[MAX_PATH], command[MAX_PATH + 96];
        snprintf(name, sizeof name, "VELK_BENCH_START_%lu", GetCurrentProcessId());
        HANDLE start = CreateEventA(NULL, TRUE, FALSE, name);
        HANDLE children[16];
        GetModuleFileNameA(NULL, self, sizeof self);
        snprintf(command, sizeof command, "\"%s\" -seconds %lu -child %s", self, seconds, name);
        for (DWORD i = 0; i < processes; i++) {
            STARTUPINFOA si = {0};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi;
            if (!start || !CreateProcessA(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
                fprintf(stderr, "changestatus_bench: cannot start process %lu (error %lu)\n", i + 1, GetLastError());
                return 1;
            }
            CloseHandle(pi.hThread);
            children[i] = pi.hProcess;
        }
        Sleep(1000); /* every child registered and waiting */
        SetEvent(start);
        WaitForMultipleObjects(processes, children, TRUE, INFINITE);
        printf("%lu processes:", processes);
        for (DWORD i = 0; i < processes; i++) {
            DWORD count = 0;
            GetExitCodeProcess(children[i], &count);
            printf(" %lu", count);
            total += count;
            CloseHandle(children[i]);
        }
        printf(" calls in %lu s\n", seconds);
    }
    printf("total %.0f calls/s", (double)total / seconds);
    if (watcher != BOARD_INVALID_HANDLE) {
        printf(", monitor called %ld times", g_callbacks);
        UnregisterEventCallback(watcher);
    }
    printf("\n");
    return 0;
}
