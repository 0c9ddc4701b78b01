// The router as an application uses it: VELKDLL.dll loaded by name in front of
// the service layer stand-in DMIAPI.DLL of the same directory.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "dmi_test_support.h"
#include "run_program.h"

using namespace std::chrono_literals;

namespace {

using InvokeFn = uint32_t(__stdcall *)(DmiCommandBlock *);
using InstallFn = uint32_t(__stdcall *)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);

struct Router {
    HMODULE module = LoadLibraryA("VELKDLL.dll");
    InvokeFn invoke = reinterpret_cast<InvokeFn>(GetProcAddress(module, "DmiInvoke"));
    InvokeFn invokeEx = reinterpret_cast<InvokeFn>(GetProcAddress(module, "DmiInvokeEx"));
    InstallFn install = reinterpret_cast<InstallFn>(GetProcAddress(module, "DmiInstall"));
    // The service layer the router loaded, for calls that bypass the router.
    InvokeFn serviceLayer =
        reinterpret_cast<InvokeFn>(GetProcAddress(GetModuleHandleA("DMIAPI.DLL"), "DmiInvoke"));
};

Router &R()
{
    static Router router;
    return router;
}

std::string ComputerName()
{
    char name[16];
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "";
}

class RouterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(R().module, nullptr);
        ASSERT_NE(R().serviceLayer, nullptr);
        g_confirmations.Reset();
        knobs.Clear();
    }

    // Registers through the router and waits for the confirmation; returns the handle.
    uint32_t Register(TestBlock &reg)
    {
        size_t before = g_confirmations.Count();
        EXPECT_EQ(R().invoke(reg.get()), 0u);
        EXPECT_TRUE(g_confirmations.WaitFor(before + 1));
        return reg.ResponseWord(8);
    }

    // A command on `handle`, sent with DmiInvoke and confirmed.
    void Roundtrip(uint32_t command, uint32_t handle)
    {
        TestBlock b(command, handle, 0x600D);
        size_t before = g_confirmations.Count();
        ASSERT_EQ(R().invoke(b.get()), 0u);
        ASSERT_TRUE(g_confirmations.WaitFor(before + 1));
    }

    ServiceLayerKnobs knobs;
};

// Lays out a 0x80B7C100 block naming `name` (or no node with nullptr).
void NodeRegistration(TestBlock &b, const char *name, uint32_t length, uint32_t protocolIndex = 0)
{
    b->command = DMI_CMD_REGISTER_AT_NODE;
    b->blockLength = 0x54 + 4 + length;
    b.Word(DMI_OFF_NODE_NAME_OFFSET) = name ? 0x54 : 0;
    b.Word(DMI_OFF_PROTOCOL_INDEX) = protocolIndex;
    b.Word(0x54) = length;
    if (name)
        std::memcpy(b.bytes + 0x58, name, length);
}

TEST_F(RouterTest, ExportsResolveByNameAndByOrdinal)
{
    struct { const char *name; int ordinal; } exports[] = {{"DmiInvoke", 4}, {"DmiInvokeEx", 5}, {"DmiInstall", 6}};
    for (auto &e : exports) {
        FARPROC byName = GetProcAddress(R().module, e.name);
        EXPECT_NE(byName, nullptr) << e.name;
        EXPECT_EQ(byName, GetProcAddress(R().module, MAKEINTRESOURCEA(e.ordinal))) << e.name;
    }
    EXPECT_EQ(GetProcAddress(R().module, "RouterConfirm"), nullptr);
}

TEST_F(RouterTest, HandlesAreTheRoutersOwnAndTheServiceLayerSeesOnlyItsOwn)
{
    TestBlock reg(RecordConfirmation, 0x1111);
    uint32_t handle = Register(reg);
    auto seen = g_confirmations.Snapshot();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].context, 0x1111u) << "the application's context comes back";
    EXPECT_EQ(seen[0].handle, handle) << "block and response carry the same handle";
    EXPECT_EQ(reg->command, (uint32_t)DMI_CMD_REGISTER);
    EXPECT_EQ(reg->confirmCallback, RecordConfirmation) << "the application's callback is given back";

    // While a command is outstanding the block carries the service layer's handle.
    knobs.Set("ConfirmDelay", 300);
    TestBlock slow(DMI_CMD_REGISTER, 0, 0x2222);
    slow->confirmCallback = RecordConfirmation;
    uint32_t slowHandle = Register(slow);
    TestBlock cmd(512, slowHandle, 0x3333);
    ASSERT_EQ(R().invoke(cmd.get()), 0u);
    uint32_t realHandle = cmd->handle;
    uint32_t borrowedContext = cmd->context;
    EXPECT_NE(realHandle, slowHandle);
    EXPECT_NE(borrowedContext, 0x3333u);
    ASSERT_TRUE(g_confirmations.WaitFor(3));
    EXPECT_EQ(cmd->handle, slowHandle);
    EXPECT_EQ(cmd->context, 0x3333u);

    // The router's handle means nothing to the service layer, and the other way round.
    TestBlock direct(512, handle, 1);
    EXPECT_EQ(R().serviceLayer(direct.get()), (uint32_t)DMIAPI_ERR_UNKNOWN_HANDLE);
    TestBlock viaRouter(512, realHandle, 1);
    EXPECT_EQ(R().invoke(viaRouter.get()), (uint32_t)DMI_ERR_BAD_HANDLE);

    // A late confirmation naming the finished command's context is ignored.
    knobs.Clear();
    TestBlock stale(512, realHandle, borrowedContext);
    ASSERT_EQ(R().serviceLayer(stale.get()), 0u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(g_confirmations.Count(), 3u) << "no callback for a stale context";
    EXPECT_EQ(stale->context, borrowedContext) << "the stale block is left alone";
}

TEST_F(RouterTest, UntrackedCommandsGoWithoutHandleAndAreNotWaitedFor)
{
    for (uint32_t command : {1026u, 1027u})
        for (InvokeFn call : {R().invoke, R().invokeEx}) {
            TestBlock b(command, 0xABCD, 5);
            // The stand-in refuses these with a handle: 0 shows the router cleared it.
            EXPECT_EQ(call(b.get()), 0u) << command;
            EXPECT_EQ(b->handle, 0xABCDu) << "handle put back";
            EXPECT_EQ(b->context, 5u);
        }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_confirmations.Count(), 0u);
}

TEST_F(RouterTest, InvokeExReturnsAfterTheConfirmationWithoutCallingTheApplication)
{
    knobs.Set("ConfirmDelay", 200);
    TestBlock reg(RecordConfirmation, 9);
    ASSERT_EQ(R().invokeEx(reg.get()), 0u);
    uint32_t handle = reg.ResponseWord(8);
    EXPECT_NE(handle, 0u) << "the block is complete on return";
    EXPECT_EQ(reg->handle, handle);
    EXPECT_EQ(reg->context, 9u);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_confirmations.Count(), 0u) << "no callback for a waited registration";

    TestBlock waited(512, handle, 10);
    ASSERT_EQ(R().invokeEx(waited.get()), 0u);
    EXPECT_EQ(waited->handle, handle);
    EXPECT_EQ(waited->context, 10u);
    EXPECT_EQ(g_confirmations.Count(), 0u);

    Roundtrip(512, handle); // DmiInvoke on the same handle does call back
    EXPECT_EQ(g_confirmations.Snapshot()[0].handle, handle);
}

TEST_F(RouterTest, InvokeExDoesNotWaitForCancelOnAHandle)
{
    knobs.Set("ConfirmDelay", 500);
    TestBlock reg(RecordConfirmation, 1);
    uint32_t handle = Register(reg);
    TestBlock cancel(DMI_CMD_CANCEL, handle, 2);
    ASSERT_EQ(R().invokeEx(cancel.get()), 0u);
    EXPECT_EQ(g_confirmations.Count(), 1u) << "returned before its confirmation";
    ASSERT_TRUE(g_confirmations.WaitFor(2)) << "which comes through the callback";
    EXPECT_EQ(g_confirmations.Snapshot()[1].context, 2u);
}

TEST_F(RouterTest, ConfirmationBeforeInvokeReturns)
{
    knobs.Set("ConfirmInCall", 1);
    TestBlock reg(RecordConfirmation, 7);
    ASSERT_EQ(R().invoke(reg.get()), 0u);
    ASSERT_EQ(g_confirmations.Count(), 1u);
    uint32_t handle = reg.ResponseWord(8);
    TestBlock cmd(512, handle, 8);
    ASSERT_EQ(R().invoke(cmd.get()), 0u);
    ASSERT_EQ(g_confirmations.Count(), 2u);
    EXPECT_EQ(cmd->context, 8u);
    EXPECT_EQ(cmd->handle, handle);
    TestBlock waited(512, handle, 9);
    EXPECT_EQ(R().invokeEx(waited.get()), 0u) << "a semaphore released before the wait";
    EXPECT_EQ(g_confirmations.Count(), 2u);
}

TEST_F(RouterTest, CommandsOnHandlesThatAreNotLiveGet515WithoutFollowingThem)
{
    TestBlock reg(RecordConfirmation, 1);
    uint32_t handle = Register(reg);
    Roundtrip(DMI_CMD_UNREGISTER, handle);
    EXPECT_EQ(g_confirmations.Snapshot()[1].handle, handle) << "257 confirmed with the router's handle";

    knobs.Set("FailRegistration", 0x99);
    TestBlock failed(RecordConfirmation, 2);
    ASSERT_EQ(R().invoke(failed.get()), 0u);
    ASSERT_TRUE(g_confirmations.WaitFor(3));
    uint32_t zeroReal = failed.ResponseWord(8);
    EXPECT_NE(zeroReal, 0u) << "an entry even for a failed registration";
    EXPECT_EQ(failed->completionStatus, 0x99u);

    uint32_t notHandles[] = {handle, zeroReal, 0, 1, 0xFFFFFFF0u, 0x00D10001u};
    for (uint32_t h : notHandles)
        for (uint32_t command : {512u, (uint32_t)DMI_CMD_UNREGISTER, (uint32_t)DMI_CMD_CANCEL}) {
            if (h == 0 && command == DMI_CMD_CANCEL)
                continue; // a cancel request, not a command on a handle
            TestBlock b(command, h, 3);
            EXPECT_EQ(R().invoke(b.get()), (uint32_t)DMI_ERR_BAD_HANDLE) << std::hex << h << " " << command;
        }
}

TEST_F(RouterTest, UnregistrationWaitedForEndsTheHandleBeforeReturning)
{
    TestBlock reg(RecordConfirmation, 1);
    uint32_t handle = Register(reg);
    TestBlock unreg(DMI_CMD_UNREGISTER, handle, 2);
    ASSERT_EQ(R().invokeEx(unreg.get()), 0u);
    TestBlock after(512, handle, 3);
    EXPECT_EQ(R().invoke(after.get()), (uint32_t)DMI_ERR_BAD_HANDLE);
}

TEST_F(RouterTest, ServiceLayerRefusalsPassThroughUnchanged)
{
    knobs.Set("RefuseRegistration", 0x4242);
    TestBlock reg(RecordConfirmation, 1);
    EXPECT_EQ(R().invoke(reg.get()), 0x4242u);
    EXPECT_EQ(R().invokeEx(reg.get()), 0x4242u);
    knobs.Clear();
    knobs.Set("RefuseUnregistration", 0x4343);
    TestBlock ok(RecordConfirmation, 1);
    uint32_t handle = Register(ok);
    TestBlock unreg(DMI_CMD_UNREGISTER, handle, 2);
    EXPECT_EQ(R().invokeEx(unreg.get()), 0x4343u);
    Roundtrip(512, handle); // the handle lives on
}

TEST_F(RouterTest, BadBlocksGetClearResults)
{
    EXPECT_EQ(R().invoke(nullptr), (uint32_t)DMI_ERR_BAD_ARGUMENT);
    EXPECT_EQ(R().invokeEx(nullptr), (uint32_t)DMI_ERR_BAD_ARGUMENT);
    struct Case {
        const char *what;
        void (*spoil)(TestBlock &);
        uint32_t result;
    } cases[] = {
        {"registration without response", [](TestBlock &b) { b->response = nullptr; }, DMI_ERR_BAD_ARGUMENT},
        {"registration response of 11 bytes", [](TestBlock &b) { b->responseSize = 11; }, DMI_ERR_BAD_ARGUMENT},
        {"local node registration without response",
         [](TestBlock &b) { NodeRegistration(b, nullptr, 0); b->responseSize = 0; }, DMI_ERR_BAD_ARGUMENT},
        {"node record beyond blockLength",
         [](TestBlock &b) { NodeRegistration(b, "ELSEWHERE", 9); b->blockLength = 0x5C; }, DMI_ERR_BAD_NODE_NAME},
        {"node record offset beyond blockLength",
         [](TestBlock &b) { NodeRegistration(b, "ELSEWHERE", 9); b.Word(0x48) = 0x7FFFFFF0; }, DMI_ERR_BAD_NODE_NAME},
        {"node block too short for its words",
         [](TestBlock &b) { NodeRegistration(b, nullptr, 0); b->blockLength = 72; }, DMI_ERR_BAD_NODE_NAME},
        {"node name with a zero byte",
         [](TestBlock &b) { NodeRegistration(b, "VM\0X", 4); }, DMI_ERR_BAD_NODE_NAME},
    };
    for (const Case &c : cases) {
        TestBlock b(RecordConfirmation, 1);
        c.spoil(b);
        EXPECT_EQ(R().invoke(b.get()), c.result) << c.what;
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_confirmations.Count(), 0u);
}

TEST_F(RouterTest, NodeNamesDecideBetweenLocalAndRemote)
{
    std::string self = ComputerName();
    ASSERT_FALSE(self.empty());
    std::string lower = self, backslashed = "\\\\" + self;
    for (char &c : lower)
        c = (char)tolower((unsigned char)c);
    std::string longest(63, 'N'), tooLong(64, 'N');
    struct Case {
        std::string name;
        bool named;
        uint32_t protocolIndex;
        uint32_t result; // 0: served locally
    } cases[] = {
        {"", false, 0, 0},
        {self, true, 0, 0},
        {lower, true, 1, 0},
        {backslashed, true, 0, 0},
        {"\\\\" + lower, true, 7, 0}, // local: the index is never looked at
        {"\\\\", true, 0, DMI_ERR_NO_CONNECTION},
        {"127.0.0.1", true, 0, DMI_ERR_NO_CONNECTION},
        {longest, true, 1, DMI_ERR_NO_CONNECTION},
        {"OTHER", true, 2, DMI_ERR_NO_CONNECTION},
        {"", true, 0, DMI_ERR_BAD_NODE_NAME},
        {tooLong, true, 0, DMI_ERR_BAD_NODE_NAME},
    };
    for (const Case &c : cases) {
        g_confirmations.Reset();
        TestBlock b(RecordConfirmation, 0x77);
        NodeRegistration(b, c.named ? c.name.c_str() : nullptr, (uint32_t)c.name.size(), c.protocolIndex);
        EXPECT_EQ(R().invoke(b.get()), c.result) << "'" << c.name << "'";
        if (c.result == 0) {
            ASSERT_TRUE(g_confirmations.WaitFor(1)) << c.name;
            EXPECT_EQ(g_confirmations.Snapshot()[0].command, (uint32_t)DMI_CMD_REGISTER) << c.name;
            Roundtrip(DMI_CMD_UNREGISTER, b.ResponseWord(8));
        }
        EXPECT_EQ(b->command, (uint32_t)DMI_CMD_REGISTER) << "rewritten before any check: '" << c.name << "'";
    }
}

TEST_F(RouterTest, CancelWithoutHandleFindsNoConnectingRegistration)
{
    TestBlock cancel(DMI_CMD_CANCEL, 0, 0x55);
    EXPECT_EQ(R().invoke(cancel.get()), (uint32_t)DMI_ERR_NO_SUCH_REGISTRATION);
    EXPECT_EQ(R().invokeEx(cancel.get()), (uint32_t)DMI_ERR_NO_SUCH_REGISTRATION);
    TestBlock reg(RecordConfirmation, 0x55);
    Register(reg); // the router stays usable
}

TEST_F(RouterTest, InstallPassesItsArgumentsThrough)
{
    char buffer[64] = {};
    EXPECT_EQ(R().install(DMIAPI_INSTALL_DESCRIBE, (uint32_t)buffer, sizeof buffer, 0, 0), 0u);
    EXPECT_STREQ(buffer, DMIAPI_DESCRIPTION);
    EXPECT_EQ(R().install(DMIAPI_INSTALL_DESCRIBE, (uint32_t)buffer, sizeof buffer, 0, 1),
              (uint32_t)DMIAPI_ERR_UNSUPPORTED) << "the fifth argument reaches the service layer";
}

// Runs attach_probe from `dir` (its DLL search starts there); returns its exit code.
DWORD RunAttachProbe(const std::string &dir, const char *mode)
{
    return RunProgram("\"" + dir + "\\attach_probe.exe\" " + mode, dir).exitCode;
}

std::string ModuleDirectory()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s = path;
    return s.substr(0, s.find_last_of('\\'));
}

TEST(RouterAttach, FailsWithoutTheServiceLayerAndServesWithoutTheBoard)
{
    std::string bin = ModuleDirectory();
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string alone = std::string(temp) + "velk-router-alone";
    CreateDirectoryA(alone.c_str(), nullptr);
    const char *files[] = {"VELKDLL.dll", "VELKCOMM.dll", "attach_probe.exe"};
    for (const char *file : files)
        ASSERT_TRUE(CopyFileA((bin + "\\" + file).c_str(), (alone + "\\" + file).c_str(), FALSE)) << file;

    EXPECT_EQ(RunAttachProbe(alone, "load"), 1u) << "no DMIAPI.DLL beside it: the router does not load";
    EXPECT_EQ(RunAttachProbe(bin, "load"), 0u);
    EXPECT_EQ(RunAttachProbe(bin, "reload"), 0u);
    EXPECT_EQ(RunAttachProbe(bin, "boardfull"), 0u) << "a router the board refused still serves";

    for (const char *file : files)
        DeleteFileA((alone + "\\" + file).c_str());
    RemoveDirectoryA(alone.c_str());
}

// Busy heap blocks of one size in the process heap, where the router allocates.
size_t HeapBlocksOfSize(size_t size)
{
    size_t count = 0;
    PROCESS_HEAP_ENTRY e = {};
    HeapLock(GetProcessHeap());
    while (HeapWalk(GetProcessHeap(), &e))
        if ((e.wFlags & PROCESS_HEAP_ENTRY_BUSY) && e.cbData == size)
            count++;
    HeapUnlock(GetProcessHeap());
    return count;
}

// What the concurrency test expects of each command's confirmation.
struct Expected {
    uint32_t handle = 0;
    std::atomic<int> count{0};
    std::atomic<int> wrongHandle{0};
};
std::map<uint32_t, Expected> *g_expected;

void __stdcall CheckConfirmation(DmiCommandBlock *b)
{
    auto it = g_expected->find(b->context);
    if (it == g_expected->end())
        return;
    it->second.count++;
    it->second.wrongHandle += it->second.handle != b->handle;
    g_confirmations.Add(b);
    delete reinterpret_cast<TestBlock *>(b); // the block is its first member
}

TEST_F(RouterTest, ManyThreadsManyHandlesEveryConfirmationOnceToItsOwner)
{
    constexpr int kThreads = 4, kHandlesPerThread = 2, kCommands = 1500;
    constexpr size_t kPendingCommandSize = 14 * 4;
    size_t pendingBefore = HeapBlocksOfSize(kPendingCommandSize);

    std::vector<uint32_t> handles;
    for (int i = 0; i < kThreads * kHandlesPerThread; i++) {
        TestBlock reg(CheckConfirmation, 0);
        ASSERT_EQ(R().invokeEx(reg.get()), 0u);
        handles.push_back(reg.ResponseWord(8));
    }
    std::map<uint32_t, Expected> expected;
    for (int th = 0; th < kThreads; th++)
        for (int c = 0; c < kCommands; c++)
            expected[(uint32_t)(th << 16 | c)].handle = handles[th * kHandlesPerThread + c % kHandlesPerThread];
    g_expected = &expected;

    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int th = 0; th < kThreads; th++)
        threads.emplace_back([&, th] {
            for (int c = 0; c < kCommands; c++) {
                uint32_t context = (uint32_t)(th << 16 | c);
                // Commands the service layer confirms without looking at their words.
                auto *b = new TestBlock(516 + c % 3, expected[context].handle, context);
                if (R().invoke(b->get()) != 0) {
                    refused++;
                    delete b;
                }
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(refused.load(), 0);
    ASSERT_TRUE(g_confirmations.WaitFor(kThreads * kCommands, 60s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(g_confirmations.Count(), (size_t)(kThreads * kCommands));
    int missing = 0, twice = 0, wrongHandle = 0;
    for (auto &[context, e] : expected) {
        missing += e.count == 0;
        twice += e.count > 1;
        wrongHandle += e.wrongHandle;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(wrongHandle, 0);

    for (uint32_t handle : handles) {
        TestBlock unreg(DMI_CMD_UNREGISTER, handle, 0);
        EXPECT_EQ(R().invokeEx(unreg.get()), 0u);
    }
    g_expected = nullptr;
    EXPECT_LE(HeapBlocksOfSize(kPendingCommandSize), pendingBefore + 4) << "nothing left pending";
}

} // namespace
