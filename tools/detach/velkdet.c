/* velkdet: starts one program as a detached process and ends. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "split_command_line.h"

#define FIELD_SIZE 128
#define MESSAGE_SIZE 256
#define IDLE_WAIT_MS 1000
#define PLATFORM_NT 2

_Static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA layout");
_Static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA layout");

static const char usageText[] = "Usage: velkdet <program> <working dir> <arguments>";
static const char invalidText[] = "Invalid command line";

static BOOL waitForThread = TRUE;
static BOOL platformIsNt = TRUE;

static void ShowMessage(const char *text)
{
    MessageBoxA(NULL, text, "VELKDETACH", MB_OK | MB_ICONWARNING);
}

/* Copies an optional token into a field; FALSE when it does not fit. */
static BOOL CopyField(char *field, const char *token)
{
    size_t length = token ? strlen(token) : 0;

    if (length >= FIELD_SIZE)
        return FALSE;
    memcpy(field, token ? token : "", length + 1);
    return TRUE;
}

/*
 * Starts program in directory with arguments. On Windows NT it gets no console
 * and no handles; elsewhere DETACHED_PROCESS means nothing, so its window is
 * hidden instead, and it inherits our handles. Returns the process handle, or
 * NULL when the process could not be created.
 */
static HANDLE StartDetached(const char *program, const char *directory, const char *arguments)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    char commandLine[DETACH_LINE_SIZE];
    DWORD flags = 0;
    BOOL inherit = FALSE;

    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (platformIsNt) {
        flags = DETACHED_PROCESS;
    } else {
        inherit = TRUE;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }

    snprintf(commandLine, sizeof commandLine, strchr(program, ' ') ? "\"%s\" %s" : "%s %s",
             program, arguments);

    /* An empty directory is no directory: CreateProcess refuses "". */
    if (!CreateProcessA(program, commandLine, NULL, NULL, inherit, flags, NULL,
                        directory[0] ? directory : NULL, &startup, &process))
        return NULL;

    WaitForInputIdle(process.hProcess, IDLE_WAIT_MS);
    if (waitForThread)
        WaitForSingleObject(process.hThread, INFINITE);
    CloseHandle(process.hThread);
    return process.hProcess;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    char line[DETACH_LINE_SIZE];
    char *tokens[DETACH_TOKEN_SLOTS];
    char program[FIELD_SIZE], directory[FIELD_SIZE], arguments[FIELD_SIZE];
    char message[MESSAGE_SIZE];
    OSVERSIONINFOA version;
    const char *fullLine = GetCommandLineA();
    int count = fullLine ? SplitCommandLine(fullLine, line, tokens) : 1;
    int first = 1;
    HANDLE process;

    if (count < 0) {
        ShowMessage(invalidText);
        return 1;
    }
    if (count < 2) {
        ShowMessage(usageText);
        return 1;
    }

    if (tokens[1][0] == '-' || tokens[1][0] == '/') {
        switch (tokens[1][1]) {
        case '?':
        case 'h':
        case 'H':
            ShowMessage(usageText);
            return 1;
        case 'n':
        case 'N':
            /* The positional arguments follow the option. */
            waitForThread = FALSE;
            first = 2;
            break;
        default:
            ShowMessage(invalidText);
            return 1;
        }
        if (count <= first) {
            ShowMessage(usageText);
            return 1;
        }
    }

    /* A field that does not fit would name another program or directory. */
    if (!CopyField(program, tokens[first])
        || !CopyField(directory, first + 1 < count ? tokens[first + 1] : NULL)
        || !CopyField(arguments, first + 2 < count ? tokens[first + 2] : NULL)) {
        ShowMessage(invalidText);
        return 1;
    }

    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) {
        snprintf(message, sizeof message, "Error getting version info: %ld\n",
                 (long)GetLastError());
        ShowMessage(message);
        return 1;
    }
    if (version.dwPlatformId != PLATFORM_NT)
        platformIsNt = FALSE;

    process = StartDetached(program, directory, arguments);
    if (process) {
        CloseHandle(process);
    } else {
        snprintf(message, sizeof message, "Failed to start \"%s\"", program);
        ShowMessage(message);
    }
    return 1;
}
