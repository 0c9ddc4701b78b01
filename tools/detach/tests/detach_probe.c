/*
 * Started by velkdet in the tests: writes down how it was started to the file
 * named by DETACH_PROBE_REPORT, one "name=value" line each:
 *   pid, command, directory, startflags, show,
 *   inherited (1 when it could set the event whose handle number DETACH_PROBE_EVENT holds),
 * then "end". With DETACH_PROBE_HOLD it then waits (up to a minute) for that
 * named event and adds "released" before it ends.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    char path[MAX_PATH], value[64], directory[MAX_PATH];
    STARTUPINFOA startup;
    MSG message;
    FILE *report;
    int inherited = 0;

    if (!GetEnvironmentVariableA("DETACH_PROBE_REPORT", path, sizeof path))
        return 2;
    report = fopen(path, "w");
    if (!report)
        return 2;

    if (GetEnvironmentVariableA("DETACH_PROBE_EVENT", value, sizeof value))
        inherited = SetEvent((HANDLE)(UINT_PTR)strtoul(value, NULL, 16)) != 0;
    GetStartupInfoA(&startup);
    GetCurrentDirectoryA(sizeof directory, directory);

    fprintf(report, "pid=%lu\ncommand=%s\ndirectory=%s\nstartflags=%lu\nshow=%u\ninherited=%d\nend\n",
            GetCurrentProcessId(), GetCommandLineA(), directory, startup.dwFlags,
            startup.wShowWindow, inherited);
    fflush(report);

    /* Ready for input: ends velkdet's wait for input idle at once. */
    PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE);

    if (GetEnvironmentVariableA("DETACH_PROBE_HOLD", value, sizeof value)) {
        HANDLE hold = OpenEventA(SYNCHRONIZE, FALSE, value);
        if (hold && WaitForSingleObject(hold, 60000) == WAIT_OBJECT_0)
            fprintf(report, "released\n");
        if (hold)
            CloseHandle(hold);
    }
    fclose(report);
    return 0;
}
