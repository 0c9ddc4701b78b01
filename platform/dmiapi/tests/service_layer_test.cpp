#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "dmi_string.h"
#include "dmi_test_support.h"

using namespace std::chrono_literals;

namespace {

class ServiceLayer : public ::testing::Test {
protected:
    void SetUp() override { g_confirmations.Reset(); }
    void TearDown() override { knobs.Clear(); }

    // Registers and waits for the confirmation; returns the new handle.
    uint32_t Register(TestBlock &reg)
    {
        size_t before = g_confirmations.Count();
        EXPECT_EQ(DmiInvoke(reg.get()), 0u);
        EXPECT_TRUE(g_confirmations.WaitFor(before + 1));
        return reg.ResponseWord(8);
    }

    ServiceLayerKnobs knobs;
};

std::string ResponseString(TestBlock &b, uint32_t wordOffset)
{
    const char *text;
    uint32_t len;
    if (!DmiStringGet(b.response, sizeof b.response, b.ResponseWord(wordOffset), &text, &len))
        return "<none>";
    return std::string(text, len);
}

TEST_F(ServiceLayer, RegistrationConfirmsOnItsOwnThreadWithHandleAndDescriptions)
{
    TestBlock reg(RecordConfirmation, 77);
    uint32_t handle = Register(reg);
    auto seen = g_confirmations.Snapshot();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].block, reg.get());
    EXPECT_EQ(seen[0].context, 77u);
    EXPECT_NE(seen[0].thread, GetCurrentThreadId());
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(ResponseString(reg, 0), DMIAPI_SPECIFICATION_LEVEL);
    EXPECT_EQ(ResponseString(reg, 4), DMIAPI_DESCRIPTION);

    TestBlock other(RecordConfirmation, 78);
    EXPECT_NE(Register(other), handle) << "every registration gets a handle of its own";
}

TEST_F(ServiceLayer, EveryCommandOnAHandleIsConfirmedOnceThroughTheRegistrationsCallback)
{
    TestBlock reg(RecordConfirmation, 1);
    uint32_t handle = Register(reg);

    TestBlock cmd(512, handle, 5);
    cmd->confirmCallback = nullptr; // commands carry no callback of their own
    ASSERT_EQ(DmiInvoke(cmd.get()), 0u);
    ASSERT_TRUE(g_confirmations.WaitFor(2));
    TestBlock unreg(DMI_CMD_UNREGISTER, handle, 6);
    ASSERT_EQ(DmiInvoke(unreg.get()), 0u);
    ASSERT_TRUE(g_confirmations.WaitFor(3));
    std::this_thread::sleep_for(100ms);
    auto seen = g_confirmations.Snapshot();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].block, cmd.get());
    EXPECT_EQ(seen[1].context, 5u);
    EXPECT_EQ(seen[1].status, 0u);
    EXPECT_EQ(seen[2].block, unreg.get());

    TestBlock after(512, handle, 7);
    EXPECT_EQ(DmiInvoke(after.get()), (uint32_t)DMIAPI_ERR_UNKNOWN_HANDLE) << "the handle has ended";
    TestBlock never(512, 0xBADBAD, 8);
    EXPECT_EQ(DmiInvoke(never.get()), (uint32_t)DMIAPI_ERR_UNKNOWN_HANDLE);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_confirmations.Count(), 3u) << "refused commands are never confirmed";
}

TEST_F(ServiceLayer, UntrackedCommandsCompleteWithoutConfirmation)
{
    for (uint32_t command : {1026u, 1027u}) {
        TestBlock b(command, 0, 1);
        b->completionStatus = 99;
        EXPECT_EQ(DmiInvoke(b.get()), 0u);
        EXPECT_EQ(b->completionStatus, 0u);
        TestBlock withHandle(command, 5, 1);
        EXPECT_EQ(DmiInvoke(withHandle.get()), (uint32_t)DMIAPI_ERR_BAD_BLOCK) << "they take no handle";
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_confirmations.Count(), 0u);
}

TEST_F(ServiceLayer, MalformedBlocksAreRefused)
{
    EXPECT_EQ(DmiInvoke(nullptr), (uint32_t)DMIAPI_ERR_BAD_BLOCK);
    struct Case {
        const char *what;
        void (*spoil)(TestBlock &);
    } cases[] = {
        {"wrong signature", [](TestBlock &b) { b->signature = 0x31494D44; }},
        {"block shorter than its header", [](TestBlock &b) { b->blockLength = 60; }},
        {"registration block of 68 bytes", [](TestBlock &b) { b->blockLength = 68; }},
        {"registration without response", [](TestBlock &b) { b->response = nullptr; }},
        {"registration response of 11 bytes", [](TestBlock &b) { b->responseSize = 11; }},
        {"registration without callback", [](TestBlock &b) { b->confirmCallback = nullptr; }},
    };
    for (const Case &c : cases) {
        TestBlock b(RecordConfirmation, 1);
        c.spoil(b);
        EXPECT_EQ(DmiInvoke(b.get()), (uint32_t)DMIAPI_ERR_BAD_BLOCK) << c.what;
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_confirmations.Count(), 0u);
}

TEST_F(ServiceLayer, RegistrationResponseTooSmallForTheTextsStillCarriesTheHandle)
{
    TestBlock reg(RecordConfirmation, 1);
    reg->responseSize = 12;
    std::memset(reg.response, 0xCC, sizeof reg.response);
    uint32_t handle = Register(reg);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(reg.ResponseWord(0), 0u) << "no room for the texts: no offsets";
    EXPECT_EQ(reg.ResponseWord(4), 0u);
    EXPECT_EQ(reg.response[12], 0xCC) << "nothing written past responseSize";
}

TEST_F(ServiceLayer, KnobsRefuseRegistrationAndUnregistration)
{
    knobs.Set("RefuseRegistration", 0x1234);
    TestBlock refused(RecordConfirmation, 1);
    EXPECT_EQ(DmiInvoke(refused.get()), 0x1234u);

    knobs.Clear();
    knobs.Set("RefuseUnregistration", 0x4321);
    TestBlock reg(RecordConfirmation, 2);
    uint32_t handle = Register(reg);
    TestBlock unreg(DMI_CMD_UNREGISTER, handle, 3);
    EXPECT_EQ(DmiInvoke(unreg.get()), 0x4321u);
    TestBlock still(512, handle, 4);
    EXPECT_EQ(DmiInvoke(still.get()), 0u) << "a refused unregistration leaves the handle";
    EXPECT_TRUE(g_confirmations.WaitFor(2));
}

TEST_F(ServiceLayer, KnobFailRegistrationConfirmsWithoutAHandle)
{
    knobs.Set("FailRegistration", 0x77);
    TestBlock reg(RecordConfirmation, 1);
    reg.ResponseWord(8) = 0xCCCCCCCC;
    EXPECT_EQ(DmiInvoke(reg.get()), 0u);
    ASSERT_EQ(g_confirmations.Count(), 1u) << "confirmed inside the call";
    EXPECT_EQ(reg->completionStatus, 0x77u);
    EXPECT_EQ(reg.ResponseWord(8), 0u);
}

TEST_F(ServiceLayer, KnobNeverConfirmAcceptsSilently)
{
    knobs.Set("NeverConfirm", 1);
    TestBlock reg(RecordConfirmation, 1);
    EXPECT_EQ(DmiInvoke(reg.get()), 0u);
    EXPECT_FALSE(g_confirmations.WaitFor(1, 300ms));
}

// Confirmations may run before or after DmiInvoke returns; the knobs pin each order.
static thread_local bool t_insideInvoke;
static std::atomic<int> g_confirmedInside, g_confirmedAfter;
static void __stdcall NoteOrder(DmiCommandBlock *b)
{
    (t_insideInvoke ? g_confirmedInside : g_confirmedAfter)++;
    g_confirmations.Add(b);
}

TEST_F(ServiceLayer, KnobsPinTheOrderOfConfirmationAndReturn)
{
    struct Case { const char *knob; DWORD value; bool inside; } cases[] = {
        {"ConfirmInCall", 1, true},
        {"ConfirmDelay", 200, false},
    };
    for (const Case &c : cases) {
        knobs.Clear();
        knobs.Set(c.knob, c.value);
        g_confirmations.Reset();
        g_confirmedInside = g_confirmedAfter = 0;
        TestBlock reg(NoteOrder, 1);
        t_insideInvoke = true;
        EXPECT_EQ(DmiInvoke(reg.get()), 0u);
        t_insideInvoke = false;
        if (c.inside) {
            EXPECT_EQ(g_confirmations.Count(), 1u) << c.knob;
        }
        ASSERT_TRUE(g_confirmations.WaitFor(1)) << c.knob;
        EXPECT_EQ(g_confirmedInside.load(), c.inside ? 1 : 0) << c.knob;
    }
}

TEST_F(ServiceLayer, CancelEndsTheCommandsStillWaitingOnItsHandle)
{
    knobs.Set("ConfirmDelay", 100);
    TestBlock reg(RecordConfirmation, 1);
    uint32_t handle = Register(reg);
    TestBlock cmds[4] = {{512, handle, 10}, {512, handle, 11}, {512, handle, 12}, {512, handle, 13}};
    for (TestBlock &c : cmds)
        ASSERT_EQ(DmiInvoke(c.get()), 0u);
    TestBlock cancel(DMI_CMD_CANCEL, handle, 20);
    ASSERT_EQ(DmiInvoke(cancel.get()), 0u);
    ASSERT_TRUE(g_confirmations.WaitFor(6));
    int cancelled = 0;
    for (auto &e : g_confirmations.Snapshot())
        cancelled += e.status == DMIAPI_STATUS_CANCELLED;
    EXPECT_GE(cancelled, 1) << "at least the commands not yet taken by a worker";
    EXPECT_EQ(cancel->completionStatus, 0u);
}

TEST(ServiceLayerInstall, DescribeWritesTheDescriptionOrRefuses)
{
    char buffer[64];
    EXPECT_EQ(DmiInstall(DMIAPI_INSTALL_DESCRIBE, (uint32_t)buffer, sizeof buffer, 0, 0), 0u);
    EXPECT_STREQ(buffer, DMIAPI_DESCRIPTION);
    EXPECT_EQ(DmiInstall(DMIAPI_INSTALL_DESCRIBE, (uint32_t)buffer, 4, 0, 0), (uint32_t)DMIAPI_ERR_BAD_BLOCK);
    EXPECT_EQ(DmiInstall(99, 0, 0, 0, 0), (uint32_t)DMIAPI_ERR_UNSUPPORTED);
}

} // namespace
