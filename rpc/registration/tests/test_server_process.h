// Starts velk_test_server (from the test's own folder) as a separate process
// and ends it again; the endpoints it leaves in the map are removed after it.
#pragma once

#include <windows.h>

#include <string>

#include "rpc_registration.h"
#include "velk_server.h"

class TestServerProcess {
public:
    explicit TestServerProcess(const std::string &protseqs)
    {
        RemoveLocalEndpoints(VelkServer_v1_0_c_ifspec);
        ready_ = CreateEventA(nullptr, TRUE, FALSE, "VELK_TEST_SERVER_READY");
        ResetEvent(ready_);
        std::string command = "velk_test_server.exe " + protseqs;
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                            &process_))
            return;
        HANDLE waits[2] = {ready_, process_.hProcess};
        started_ = WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
    }
    ~TestServerProcess()
    {
        if (process_.hProcess) {
            TerminateProcess(process_.hProcess, 0);
            WaitForSingleObject(process_.hProcess, 10000);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        CloseHandle(ready_);
        RemoveLocalEndpoints(VelkServer_v1_0_c_ifspec);
        RemoveLocalEndpoints(CallbackIdentity());
    }
    bool started() const { return started_; }

    // The callback interface's identity alone, for programs that link neither of its stubs.
    static RPC_IF_HANDLE CallbackIdentity()
    {
        static RPC_CLIENT_INTERFACE id;
        id.Length = sizeof id;
        id.InterfaceId = {{0x9c05f3e2, 0x18b7, 0x4d6a, {0xb2, 0xe4, 0x5a, 0x9f, 0x7c, 0x1d, 0x0e, 0x83}},
                          {1, 0}};
        id.TransferSyntax = {{0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}},
                             {2, 0}};
        return &id;
    }

private:
    HANDLE ready_ = nullptr;
    PROCESS_INFORMATION process_ = {};
    bool started_ = false;
};
