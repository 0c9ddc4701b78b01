// The cost of one local command through the router against the same command
// sent straight to the service layer, side by side in one run.
#include <windows.h>

#include <chrono>
#include <cstdio>

#include "dmi_test_support.h"

namespace {

constexpr int kRounds = 10;

using InvokeFn = uint32_t(__stdcall *)(DmiCommandBlock *);

HANDLE g_confirmed;
bool g_confirmInCall; // confirmations run inside the call: nothing to wait for
void __stdcall SignalConfirmed(DmiCommandBlock *)
{
    if (!g_confirmInCall)
        SetEvent(g_confirmed);
}

uint32_t RegisterWith(InvokeFn invoke)
{
    TestBlock reg(SignalConfirmed, 1);
    if (invoke(reg.get()) != 0 || (!g_confirmInCall && WaitForSingleObject(g_confirmed, 10000) != WAIT_OBJECT_0))
        return 0;
    return reg.ResponseWord(8);
}

// Nanoseconds per command: `count` commands, each sent and its confirmation awaited.
double Measure(InvokeFn invoke, InvokeFn waitingInvoke, uint32_t handle, int count)
{
    TestBlock cmd(512, handle, 1);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; i++) {
        cmd->handle = handle;
        if (waitingInvoke) {
            waitingInvoke(cmd.get());
        } else if (invoke(cmd.get()) == 0 && !g_confirmInCall) {
            WaitForSingleObject(g_confirmed, INFINITE);
        }
    }
    std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / count;
}

} // namespace

int main()
{
    HMODULE router = LoadLibraryA("VELKDLL.dll");
    if (!router) {
        std::fprintf(stderr, "router_bench: VELKDLL.dll does not load\n");
        return 1;
    }
    auto viaRouter = reinterpret_cast<InvokeFn>(GetProcAddress(router, "DmiInvoke"));
    auto viaRouterEx = reinterpret_cast<InvokeFn>(GetProcAddress(router, "DmiInvokeEx"));
    auto direct = reinterpret_cast<InvokeFn>(GetProcAddress(GetModuleHandleA("DMIAPI.DLL"), "DmiInvoke"));
    g_confirmed = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    struct Mode { const char *name; bool inCall; } modes[] = {
        {"confirmed inside the call", true},
        {"confirmed on the service layer's thread", false},
    };
    std::printf("%-42s %14s %14s %8s\n", "one local command, awaited", "direct ns", "router ns", "ratio");
    for (const Mode &m : modes) {
        ServiceLayerKnobs knobs;
        if (m.inCall)
            knobs.Set("ConfirmInCall", 1);
        g_confirmInCall = m.inCall;
        uint32_t directHandle = RegisterWith(direct), routerHandle = RegisterWith(viaRouter);
        if (!directHandle || !routerHandle) {
            std::fprintf(stderr, "router_bench: registration failed\n");
            return 1;
        }
        // Short alternating rounds, so that both paths see the same machine load.
        int count = m.inCall ? 20000 : 2000;
        double d = 0, r = 0, rx = 0;
        Measure(direct, nullptr, directHandle, count); // warm up
        Measure(viaRouter, nullptr, routerHandle, count);
        for (int round = 0; round < kRounds; round++) {
            d += Measure(direct, nullptr, directHandle, count) / kRounds;
            r += Measure(viaRouter, nullptr, routerHandle, count) / kRounds;
            rx += Measure(nullptr, viaRouterEx, routerHandle, count) / kRounds;
        }
        std::printf("%-42s %14.0f %14.0f %8.2f\n", m.name, d, r, r / d);
        std::printf("%-42s %14s %14.0f %8.2f\n", "  the same through DmiInvokeEx", "", rx, rx / d);
    }
    return 0;
}
