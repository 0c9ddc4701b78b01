// The board's exports inside one process of the test machine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "board_view.h"
#include "peer_process.h"
#include "velkcomm.h"

using namespace std::chrono_literals;

namespace {

class Board : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(view.ok());
        ASSERT_TRUE(view.List(KIND_EVENT).empty() && view.List(KIND_DLL).empty() && view.List(KIND_SERVER).empty())
            << "each test starts from an empty board";
        view.ResetStatus();
    }
    void TearDown() override { view.ResetStatus(); }

    // True when VELK_COMMON_EVENT is pulsed while `action` runs.
    template <typename F> bool Pulses(F action)
    {
        HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, BOARD_COMMON_EVENT_NAME);
        std::atomic<bool> waiting{false};
        DWORD result = WAIT_FAILED;
        std::thread waiter([&] {
            waiting = true;
            result = WaitForSingleObject(event, 1000);
        });
        while (!waiting)
            std::this_thread::yield();
        std::this_thread::sleep_for(100ms);
        action();
        waiter.join();
        CloseHandle(event);
        return result == WAIT_OBJECT_0;
    }

    BoardView view;
};

TEST_F(Board, ExportsByNameAndOrdinalWithTheDescription)
{
    HMODULE dll = GetModuleHandleA("VELKCOMM.dll");
    ASSERT_NE(dll, nullptr);
    const char *names[] = {"RegisterEventCallback", "UnregisterEventCallback", "RegisterVelkServer",
                           "UnregisterVelkServer",  "RegisterVelkDll",         "UnregisterVelkDll",
                           "ChangeStatus",          "GetStatus",               "SuspendCallbacks",
                           "ResumeCallbacks",       "SetRemoteAccess"};
    for (int ordinal = 1; ordinal <= 11; ordinal++) {
        FARPROC byName = GetProcAddress(dll, names[ordinal - 1]);
        EXPECT_NE(byName, nullptr) << names[ordinal - 1];
        EXPECT_EQ(byName, GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))) << ordinal;
    }
    for (int ordinal = 12; ordinal <= 20; ordinal++)
        EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(ordinal)), nullptr) << ordinal;
    EXPECT_EQ(GetProcAddress(dll, "DllMain"), GetProcAddress(dll, MAKEINTRESOURCEA(21)));
    EXPECT_NE(GetProcAddress(dll, "DllMain"), nullptr);

    char path[MAX_PATH];
    ASSERT_TRUE(GetModuleFileNameA(dll, path, sizeof path));
    DWORD ignored, size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
    char *text;
    UINT length;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileDescription", (void **)&text, &length));
    EXPECT_STREQ(text, "VELK status communication DLL");
}

TEST_F(Board, RecordsAreLaidOutAndListedInRegistrationOrder)
{
    // After earlier tests the heap is one free block again: the first record is at 28.
    uint32_t a = RegisterVelkDll();
    EXPECT_EQ(GetLastError(), 0u);
    uint32_t b = RegisterVelkDll();
    EXPECT_EQ(a, 28u);
    EXPECT_EQ(b, 28u + 36);
    EXPECT_EQ(view.word(a), RECORD_MAGIC);
    EXPECT_EQ(view.word(a + 8), static_cast<uint32_t>(KIND_DLL));
    EXPECT_EQ(view.word(a + offsetof(VelkDllRecord, processId)), GetCurrentProcessId());
    EXPECT_EQ(view.word(a + offsetof(VelkDllRecord, next)), b);
    EXPECT_EQ(view.word(b + offsetof(VelkDllRecord, prev)), a);
    EXPECT_EQ(view.header()->dllListTail, b);

    uint32_t s = RegisterVelkServer(nullptr); // a null callback is never called
    EXPECT_EQ(s, b + 36);
    EXPECT_EQ(view.word(s + offsetof(VelkServerRecord, kind)), static_cast<uint32_t>(KIND_SERVER));
    EXPECT_EQ(view.header()->serverCount, 1u);
    uint32_t e = RegisterEventCallback(nullptr);
    EXPECT_EQ(e, s + 48);
    EXPECT_EQ(view.header()->eventListHead, e);

    EXPECT_EQ(UnregisterVelkDll(a), 1u);
    EXPECT_EQ(view.header()->dllListHead, b);
    EXPECT_EQ(view.word(b + offsetof(VelkDllRecord, prev)), 0u);
    EXPECT_EQ(UnregisterVelkDll(b), 1u);
    EXPECT_EQ(UnregisterVelkServer(s), 1u);
    EXPECT_EQ(UnregisterEventCallback(e), 1u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(view.header()->serverCount, 0u);
    EXPECT_EQ(view.FreeList(), (std::vector<std::pair<uint32_t, uint32_t>>{{24, 524264}}));
}

TEST_F(Board, WrongHandlesAreRefusedAndChangeNothing)
{
    uint32_t router = RegisterVelkDll(), server = RegisterVelkServer(nullptr), event = RegisterEventCallback(nullptr);
    const std::vector<unsigned char> before(view.heap() - BOARD_HEADER_SIZE, view.heap() + BOARD_HEAP_SIZE);

    struct Refusal {
        const char *name;
        uint32_t(__stdcall *call)(uint32_t);
        uint32_t handle;
    };
    const Refusal refusals[] = {
        {"router 0", UnregisterVelkDll, 0},
        {"router 524288", UnregisterVelkDll, 524288},
        {"router with a server's handle", UnregisterVelkDll, server},
        {"router -1", UnregisterVelkDll, BOARD_INVALID_HANDLE},
        {"router inside a record", UnregisterVelkDll, router + 4},
        {"server with a router's handle", UnregisterVelkServer, router},
        {"event with a server's handle", UnregisterEventCallback, server},
        {"event at the heap's end", UnregisterEventCallback, 524284},
    };
    for (const Refusal &r : refusals) {
        SetLastError(0);
        EXPECT_EQ(r.call(r.handle), 0u) << r.name;
        EXPECT_EQ(GetLastError(), 6u) << r.name;
    }
    EXPECT_TRUE(Pulses([&] { EXPECT_EQ(ChangeStatus(router, 0, 0), 0u); }));
    EXPECT_FALSE(Pulses([&] { EXPECT_EQ(ChangeStatus(event, 0x01000000, 0), 6u); }));
    EXPECT_EQ(ChangeStatus(0, 1, 0), 6u);
    EXPECT_EQ(ChangeStatus(BOARD_INVALID_HANDLE, 1, 0), 6u);
    EXPECT_EQ(SetRemoteAccess(router, 5), 0u);
    EXPECT_EQ(SuspendCallbacks(server), 0u);
    const std::vector<unsigned char> after(view.heap() - BOARD_HEADER_SIZE, view.heap() + BOARD_HEAP_SIZE);
    EXPECT_TRUE(before == after) << "the board is unchanged";

    // Nothing stays locked after a refusal: another thread gets through.
    std::thread other([] { GetStatus(0, nullptr, nullptr); });
    other.join();
    UnregisterVelkDll(router);
    UnregisterVelkServer(server);
    UnregisterEventCallback(event);
}

TEST_F(Board, DamagedListLinksAreNotWrittenThrough)
{
    uint32_t a = RegisterVelkDll(), b = RegisterVelkDll();
    // Another process scribbled over the list: a link and the tail lead out of the heap.
    view.Locked([&] {
        view.word(a + offsetof(VelkDllRecord, next)) = 0x7FFFFFF0;
        return view.header()->dllListTail = 0xFFFFFF00;
    });
    EXPECT_EQ(UnregisterVelkDll(a), 1u);
    uint32_t c = RegisterVelkDll();
    ASSERT_NE(c, BOARD_INVALID_HANDLE);
    EXPECT_EQ(view.List(KIND_DLL), (std::vector<std::pair<uint32_t, uint32_t>>{{c, GetCurrentProcessId()}}))
        << "the damaged list starts over";
    EXPECT_EQ(UnregisterVelkDll(c), 1u);
    EXPECT_EQ(UnregisterVelkDll(b), 1u) << "the record cut off from the list can still be ended";
    EXPECT_TRUE(view.List(KIND_DLL).empty());
    EXPECT_EQ(view.FreeList(), (std::vector<std::pair<uint32_t, uint32_t>>{{24, 524264}}));
}

TEST_F(Board, RouterReportsAddUpLaneByLane)
{
    uint32_t a = RegisterVelkDll(), b = RegisterVelkDll(), total = 0;
    struct Report {
        uint32_t handle, word, total, flags;
    };
    const uint32_t both = STATUS_REMOTE_INVOKE | STATUS_REMOTE_CALLBACK;
    const Report reports[] = {
        {a, 0x01000100, 0x01000100, STATUS_REMOTE_INVOKE},
        {b, 0x00010001, 0x01010101, both},
        {a, 0x00000000, 0x00010001, STATUS_REMOTE_CALLBACK},
        {a, 0x00000100, 0x00010101, STATUS_REMOTE_CALLBACK},
        {b, 0x00000200, 0x00000300, 0},
        {a, 0x000000FF, 0x000002FF, 0},
        {b, 0x00000201, 0x00000200, 0}, // lane 0: 0xFF + 1 wraps to 0 and carries nothing
        {a, 0x2C000000, 0x2C000201, STATUS_REMOTE_INVOKE}, // lane 0: a's 0xFF leaves, b's 1 stays
    };
    for (const Report &r : reports) {
        EXPECT_EQ(ChangeStatus(r.handle, r.word, 0xDEAD), 0u);
        EXPECT_EQ(GetStatus(0, &total, nullptr) & 0xFFFF, r.flags) << std::hex << r.word;
        EXPECT_EQ(total, r.total) << std::hex << r.word;
    }
    EXPECT_EQ(view.word(a + offsetof(VelkDllRecord, lastReport)), 0x2C000000u);
    EXPECT_EQ(view.header()->serverStatus, 0u) << "router reports leave the server words alone";
    EXPECT_EQ(UnregisterVelkDll(a), 1u);
    GetStatus(0, &total, nullptr);
    EXPECT_EQ(total, 0x2C000201u) << "an unregistered instance's last report stays counted";
    UnregisterVelkDll(b);
}

TEST_F(Board, ServerStatusAndActivityRaiseTheirFlags)
{
    uint32_t s = RegisterVelkServer(nullptr), serverStatus = 0;
    ASSERT_NE(s, BOARD_INVALID_HANDLE);
    const uint32_t present = STATUS_SERVER_PRESENT;
    struct Row {
        uint32_t status, activity, flags;
    } rows[] = {
        {0x100, 0, present},
        {0, 0x0100, present | STATUS_REMOTE_INVOKE | STATUS_SERVER_ACTIVE},
        {0, 0x0001, present | STATUS_REMOTE_CALLBACK | STATUS_SERVER_ACTIVE},
        {0x01, 0, present | STATUS_SERVER_ACTIVE},
        {0, 0x10000, present},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(ChangeStatus(s, r.status, r.activity), 0u);
        EXPECT_EQ(GetStatus(0, nullptr, &serverStatus) & ~STATUS_SL_ALIVE, r.flags) << std::hex << r.status << " "
                                                                                   << r.activity;
        EXPECT_EQ(serverStatus, r.status);
        EXPECT_EQ(view.word(s + offsetof(VelkServerRecord, lastStatus)), r.status);
    }
    EXPECT_EQ(UnregisterVelkServer(s), 1u);
    EXPECT_EQ(GetStatus(0, nullptr, nullptr) & STATUS_SERVER_PRESENT, 0u);
}

std::atomic<int> g_eventCalls{0};
std::atomic<uint32_t> g_lastFlags{0};
void __stdcall CountEvent(uint32_t flags)
{
    g_lastFlags = flags;
    g_eventCalls++;
}

TEST_F(Board, EventCallbackIsCalledAfterEachPulseOnItsOwnThread)
{
    g_eventCalls = 0;
    uint32_t e = RegisterEventCallback(CountEvent), s = RegisterVelkServer(nullptr);
    const uint32_t changed = STATUS_SERVER_PRESENT | STATUS_SERVER_ACTIVE | STATUS_REMOTE_INVOKE;
    // A pulse reaches only a thread already waiting, and the server's registration
    // may wake it first: pulse until the callback has seen the change.
    for (int i = 0; i < 100 && (g_lastFlags & ~STATUS_SL_ALIVE) != changed; i++) {
        ChangeStatus(s, 0, 0x0100);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(g_eventCalls.load(), 1);
    EXPECT_EQ(g_lastFlags & ~STATUS_SL_ALIVE, changed);
    EXPECT_EQ(UnregisterEventCallback(e), 1u);
    int calls = g_eventCalls;
    ChangeStatus(s, 1, 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(g_eventCalls.load(), calls) << "nothing after the unregistration";
    UnregisterVelkServer(s);
}

TEST_F(Board, HeapExhaustionThroughTheExports)
{
    std::vector<uint32_t> handles;
    for (;;) {
        SetLastError(0);
        uint32_t h = RegisterVelkDll();
        if (h == BOARD_INVALID_HANDLE)
            break;
        handles.push_back(h);
        ASSERT_LT(handles.size(), 20000u);
    }
    EXPECT_EQ(GetLastError(), 8u);
    EXPECT_EQ(handles.size(), 524264u / 36);
    SetLastError(0);
    EXPECT_EQ(RegisterEventCallback(CountEvent), BOARD_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), 8u);
    EXPECT_EQ(RegisterVelkServer(nullptr), BOARD_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), 8u);
    EXPECT_EQ(view.header()->serverCount, 0u) << "a failed registration creates nothing";
    for (uint32_t h : handles)
        ASSERT_EQ(UnregisterVelkDll(h), 1u);
    EXPECT_EQ(view.FreeList(), (std::vector<std::pair<uint32_t, uint32_t>>{{24, 524264}}));
    EXPECT_EQ(view.heapHeader()->freeBytes, 524264u);
}

} // namespace
