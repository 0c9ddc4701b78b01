// The router's activity as the status board shows it to monitors.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "dmi_test_support.h"
#include "run_program.h"
#include "velkcomm.h"

using namespace std::chrono_literals;

namespace {

using InvokeFn = uint32_t(__stdcall *)(DmiCommandBlock *);

uint32_t ActivityTotal(uint32_t *flags = nullptr)
{
    uint32_t activity = 0;
    uint32_t f = GetStatus(0, &activity, nullptr);
    if (flags)
        *flags = f;
    return activity;
}

struct SlowCall {
    InvokeFn invoke;
    TestBlock block;
    uint32_t result = 0xFFFFFFFF;
    SlowCall(InvokeFn i, uint32_t handle) : invoke(i), block(512, handle, 1) {}
    static DWORD WINAPI Run(void *p)
    {
        auto *c = static_cast<SlowCall *>(p);
        c->result = c->invoke(c->block.get());
        return 0;
    }
};

TEST(RouterActivity, LanesCountCallsInProgressAndAnIdleRouterPublishesZero)
{
    HMODULE router = LoadLibraryA("VELKDLL.dll");
    ASSERT_NE(router, nullptr);
    auto invoke = reinterpret_cast<InvokeFn>(GetProcAddress(router, "DmiInvoke"));
    EXPECT_EQ(ActivityTotal(), 0u) << "an idle router";

    ServiceLayerKnobs knobs;
    knobs.Set("InvokeDelay", 4000);
    TestBlock reg(RecordConfirmation, 1);
    ASSERT_EQ(invoke(reg.get()), 0u);
    ASSERT_TRUE(g_confirmations.WaitFor(1));
    uint32_t handle = reg.ResponseWord(8);

    // 300 calls held inside the service layer: the local-invoke lane shows 300 mod 256.
    constexpr int kCalls = 300;
    std::vector<std::unique_ptr<SlowCall>> calls;
    std::vector<HANDLE> threads;
    for (int i = 0; i < kCalls; i++) {
        calls.push_back(std::make_unique<SlowCall>(invoke, handle));
        threads.push_back(CreateThread(nullptr, 64 * 1024, SlowCall::Run, calls.back().get(),
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        ASSERT_NE(threads.back(), nullptr);
    }
    // Racing threads may publish their snapshots out of order, and the board keeps
    // the last: a quick untracked call of our own publishes a fresh one each round.
    uint32_t flags = 0, seen = 0;
    for (int i = 0; i < 100 && ACTIVITY_LANE(seen, ACTIVITY_LOCAL_INVOKES) != 44; i++) {
        std::this_thread::sleep_for(20ms);
        TestBlock quick(DMI_CMD_UNTRACKED_1026, 0, 1);
        ASSERT_EQ(invoke(quick.get()), 0u);
        seen = ActivityTotal(&flags);
    }
    EXPECT_EQ(ACTIVITY_LANE(seen, ACTIVITY_LOCAL_INVOKES), 44u);
    EXPECT_EQ(ACTIVITY_LANE(seen, ACTIVITY_REMOTE_INVOKES), 0u) << "lanes never carry";
    EXPECT_EQ(flags & (STATUS_REMOTE_INVOKE | STATUS_REMOTE_CALLBACK), 0u) << "local work is not remote";

    // A monitor in another process sees the same.
    std::string report = RunProgram("statusmon.exe -once").output;
    EXPECT_NE(report.find("local-invoke 44"), std::string::npos) << report;
    EXPECT_EQ(report.find("REMOTE"), std::string::npos) << report;

    for (HANDLE t : threads) {
        WaitForSingleObject(t, 30000);
        CloseHandle(t);
    }
    for (auto &c : calls)
        EXPECT_EQ(c->result, 0u);
    ASSERT_TRUE(g_confirmations.WaitFor(1 + kCalls));
    TestBlock unreg(DMI_CMD_UNREGISTER, handle, 1);
    knobs.Clear();
    ASSERT_EQ(invoke(unreg.get()), 0u);
    ASSERT_TRUE(g_confirmations.WaitFor(2 + kCalls));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ActivityTotal(), 0u) << "every call has returned: the router publishes 0";
}

} // namespace
