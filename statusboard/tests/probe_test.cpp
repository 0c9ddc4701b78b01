// The service-layer liveness probe against the stand-in's knobs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "board_view.h"
#include "dmi_test_support.h"
#include "peer_process.h"
#include "velkcomm.h"

using namespace std::chrono_literals;

namespace {

class Probe : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(view.ok());
        ASSERT_EQ(view.header()->serverCount, 0u);
        NeedProbe();
    }

    // What a fresh board, or the last server's unregistration, leaves.
    void NeedProbe()
    {
        view.Locked([&] { return view.header()->probeNeeded = 1; });
    }

    // GetStatus's flags and how long it took.
    std::pair<uint32_t, std::chrono::milliseconds> TimedStatus()
    {
        auto start = std::chrono::steady_clock::now();
        uint32_t flags = GetStatus(0, nullptr, nullptr);
        return {flags, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)};
    }

    BoardView view;
    ServiceLayerKnobs knobs;
};

TEST_F(Probe, WithoutTheServiceLayerLibraryEveryCallReportsItDeadAtOnce)
{
    // A folder holding the board library and a peer, but no DMIAPI.DLL.
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string folder = std::string(temp) + "velkcomm-no-dmiapi-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    for (const char *file : {"VELKCOMM.dll", "board_peer.exe"})
        ASSERT_TRUE(CopyFileA(file, (folder + "\\" + file).c_str(), FALSE)) << file;
    {
        Peer peer(folder);
        ASSERT_TRUE(peer.started());
        for (int call = 0; call < 3; call++) {
            auto status = peer.Call("status", "status");
            ASSERT_EQ(status.size(), 4u);
            EXPECT_EQ(status[0] & STATUS_SL_ALIVE, 0u);
            EXPECT_LT(status[3], 1000u) << "ms";
            EXPECT_EQ(view.header()->probeNeeded, 1u) << "tried again at the next call";
        }
        uint32_t h = peer.Register("event");
        EXPECT_NE(h, BOARD_INVALID_HANDLE) << "a dead service layer fails no registration";
        EXPECT_EQ(view.header()->slAnswered, 0u);
    }
    for (const char *file : {"VELKCOMM.dll", "board_peer.exe"})
        EXPECT_TRUE(DeleteFileA((folder + "\\" + file).c_str())) << file;
    EXPECT_TRUE(RemoveDirectoryA(folder.c_str()));
}

TEST_F(Probe, NeverConfirmingServiceLayerCostsFiveSecondsAtEveryCall)
{
    knobs.Set("NeverConfirm", 1);
    for (int call = 0; call < 2; call++) {
        auto [flags, took] = TimedStatus();
        EXPECT_EQ(flags & STATUS_SL_ALIVE, 0u);
        EXPECT_GE(took, 4900ms);
        EXPECT_LT(took, 9000ms);
        EXPECT_EQ(view.header()->probeNeeded, 1u);
    }
}

TEST_F(Probe, ConfirmingServiceLayerIsProbedOnceUntilTheLastServerLeaves)
{
    auto [flags, took] = TimedStatus();
    EXPECT_NE(flags & STATUS_SL_ALIVE, 0u);
    EXPECT_EQ(view.header()->slAnswered, 1u);
    EXPECT_EQ(view.header()->probeNeeded, 0u);

    // A probe now would fail at once; none runs.
    knobs.Set("RefuseRegistration", 0x77);
    uint32_t server = RegisterVelkServer(nullptr);
    EXPECT_NE(GetStatus(0, nullptr, nullptr) & STATUS_SL_ALIVE, 0u);
    EXPECT_EQ(UnregisterVelkServer(server), 1u);
    EXPECT_EQ(view.header()->probeNeeded, 1u);
    EXPECT_EQ(view.header()->slAnswered, 1u) << "kept until the next probe";
    EXPECT_EQ(GetStatus(0, nullptr, nullptr) & STATUS_SL_ALIVE, 0u) << "the next call probes again";
}

TEST_F(Probe, RouterRegistrationFromItsLoaderNotificationRunsNoProbe)
{
    // The stand-in confirms on a thread it starts, which cannot run while a
    // library is being loaded: a probe there could only wait and fail.
    auto start = std::chrono::steady_clock::now();
    HMODULE router = LoadLibraryA("router_like.dll");
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_NE(router, nullptr);
    EXPECT_LT(took, 4000ms);
    EXPECT_EQ(view.List(KIND_DLL).size(), 1u);
    EXPECT_EQ(view.header()->probeNeeded, 1u);
    EXPECT_NE(GetStatus(0, nullptr, nullptr) & STATUS_SL_ALIVE, 0u) << "the next GetStatus probes";
    FreeLibrary(router);
    EXPECT_TRUE(view.List(KIND_DLL).empty());
}

TEST_F(Probe, RefusedUnregistrationFailsTheProbe)
{
    knobs.Set("RefuseUnregistration", 0x55);
    EXPECT_EQ(GetStatus(0, nullptr, nullptr) & STATUS_SL_ALIVE, 0u);
    EXPECT_EQ(view.header()->probeNeeded, 1u);
}

TEST_F(Probe, LateConfirmationTouchesNothing)
{
    knobs.Set("ConfirmDelay", 5500);
    auto [flags, took] = TimedStatus();
    EXPECT_EQ(flags & STATUS_SL_ALIVE, 0u);
    EXPECT_GE(took, 4900ms);
    std::this_thread::sleep_for(1500ms); // the confirmation arrives after the probe ended

    knobs.Clear();
    EXPECT_NE(GetStatus(0, nullptr, nullptr) & STATUS_SL_ALIVE, 0u) << "the next probe works as before";
}

} // namespace
