// Runs a Windows program of the test machine as a user would, and collects
// what it printed.
#pragma once

#include <windows.h>

#include <string>

struct ProgramRun {
    DWORD exitCode = STILL_ACTIVE; // STILL_ACTIVE: it did not start or did not end in time
    std::string output;            // stdout and stderr, without carriage returns
};

// `commandLine` as CreateProcess takes it; `directory` empty for the current one.
inline ProgramRun RunProgram(const std::string &commandLine, const std::string &directory = "",
                             DWORD timeoutMs = 30000)
{
    ProgramRun run;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::string line = commandLine;
    BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  directory.empty() ? nullptr : directory.c_str(), &startup, &process);
    CloseHandle(writeEnd);
    if (started) {
        char chunk[512];
        DWORD got;
        while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got)
            for (DWORD i = 0; i < got; ++i)
                if (chunk[i] != '\r')
                    run.output += chunk[i];
        if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    return run;
}
