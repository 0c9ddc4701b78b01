// Several processes of one test machine on the board.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "board_view.h"
#include "peer_process.h"
#include "velkcomm.h"

using namespace std::chrono_literals;

namespace {

class MultiProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(view.ok());
        view.ResetStatus();
    }
    void TearDown() override { view.ResetStatus(); }

    // Waits until `f` holds, for up to five seconds.
    template <typename F> bool Eventually(F f)
    {
        for (int i = 0; i < 250; i++) {
            if (f())
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return f();
    }

    // Repeats `pulse` until `heard` (which waits a little itself) holds: a pulse
    // reaches only the notification threads already waiting.
    template <typename P, typename H> bool PulseUntil(P pulse, H heard)
    {
        for (int i = 0; i < 50; i++) {
            pulse();
            if (heard())
                return true;
        }
        return false;
    }

    static uint32_t Flags(const std::string &eventLine)
    {
        return static_cast<uint32_t>(std::stoul(eventLine.substr(6), nullptr, 16)) & ~STATUS_SL_ALIVE;
    }

    BoardView view;
};

TEST_F(MultiProcess, SecondProcessAdoptsTheBoard)
{
    uint32_t attached = view.header()->attachCount;
    uint32_t mine = RegisterVelkDll();
    {
        Peer peer;
        ASSERT_TRUE(peer.started());
        uint32_t theirs = peer.Register("router");
        EXPECT_EQ(view.header()->attachCount, attached + 1);
        EXPECT_EQ(theirs, mine + 36) << "allocated from the same heap";
        EXPECT_EQ(view.List(KIND_DLL), (std::vector<std::pair<uint32_t, uint32_t>>{
                                           {mine, GetCurrentProcessId()}, {theirs, peer.pid()}}));
        EXPECT_EQ(peer.Call("change " + std::to_string(mine) + " 0x01000000 0", "result"),
                  std::vector<uint32_t>{0}) << "a handle is valid in every process";
        EXPECT_EQ(GetStatus(0, nullptr, nullptr) & STATUS_REMOTE_INVOKE, STATUS_REMOTE_INVOKE);
    }
    EXPECT_EQ(view.header()->attachCount, attached);
    EXPECT_EQ(view.List(KIND_DLL), (std::vector<std::pair<uint32_t, uint32_t>>{{mine, GetCurrentProcessId()}}));
    UnregisterVelkDll(mine);
}

TEST_F(MultiProcess, ExitingProcessesLeaveNoneOfTheirRecords)
{
    uint32_t servers = view.header()->serverCount;
    Peer first, second;
    for (Peer *p : {&first, &second})
        for (const char *kind : {"event", "server", "router", "server"})
            ASSERT_NE(p->Register(kind), BOARD_INVALID_HANDLE) << kind;
    for (Peer *p : {&first, &second}) {
        EXPECT_EQ(view.CountOwnedBy(KIND_EVENT, p->pid()), 1u);
        EXPECT_EQ(view.CountOwnedBy(KIND_DLL, p->pid()), 1u);
        EXPECT_EQ(view.CountOwnedBy(KIND_SERVER, p->pid()), 2u);
    }
    EXPECT_EQ(view.header()->serverCount, servers + 4);
    std::this_thread::sleep_for(200ms);
    size_t heard = second.CountLines("event");

    first.Send("exit 0"); // ends at once, with its registrations in place
    ASSERT_TRUE(first.WaitExit(10000));
    for (uint32_t kind : {KIND_EVENT, KIND_DLL, KIND_SERVER})
        EXPECT_EQ(view.CountOwnedBy(kind, first.pid()), 0u) << kind;
    EXPECT_EQ(view.header()->serverCount, servers + 2);
    EXPECT_EQ(view.CountOwnedBy(KIND_SERVER, second.pid()), 2u) << "the other process keeps its records";
    EXPECT_TRUE(Eventually([&] { return second.CountLines("event") > heard; }))
        << "the removal pulsed the other process's callback";

    const DWORD pid = second.pid();
    second.EndInput(); // returns from main, with its registrations in place
    ASSERT_TRUE(second.WaitExit(10000));
    for (uint32_t kind : {KIND_EVENT, KIND_DLL, KIND_SERVER})
        EXPECT_EQ(view.CountOwnedBy(kind, pid), 0u) << kind;
    EXPECT_EQ(view.header()->serverCount, servers);
}

TEST_F(MultiProcess, ChangeStatusInOneProcessCallsEventCallbacksInAnother)
{
    Peer watcher;
    ASSERT_NE(watcher.Register("event"), BOARD_INVALID_HANDLE);
    uint32_t server = RegisterVelkServer(nullptr);
    const uint32_t expected = STATUS_REMOTE_INVOKE | STATUS_SERVER_ACTIVE | STATUS_SERVER_PRESENT;
    EXPECT_TRUE(PulseUntil([&] { ASSERT_EQ(ChangeStatus(server, 0, 0x0100), 0u); },
                           [&] {
                               std::string line = watcher.Expect("event", 200ms);
                               return !line.empty() && Flags(line) == expected;
                           }))
        << "the callback saw the new status";
    UnregisterVelkServer(server);
}

TEST_F(MultiProcess, SuspendedRegistrationHearsNothingUntilResumed)
{
    Peer quiet, loud;
    uint32_t q = quiet.Register("event");
    ASSERT_NE(loud.Register("event"), BOARD_INVALID_HANDLE);
    ASSERT_EQ(SuspendCallbacks(q), 0u); // any process may suspend a registration
    EXPECT_NE(view.word(q + offsetof(EventCallbackRecord, flags)) & 1, 0u);

    uint32_t server = RegisterVelkServer(nullptr);
    EXPECT_TRUE(PulseUntil([&] { ChangeStatus(server, 1, 0); }, [&] { return loud.Expect("event", 200ms) != ""; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(quiet.CountLines("event"), 0u);

    EXPECT_EQ(quiet.Call("resume " + std::to_string(q), "result"), std::vector<uint32_t>{0});
    std::string line;
    EXPECT_TRUE(PulseUntil([&] { ChangeStatus(server, 0, 1); },
                           [&] { return (line = quiet.Expect("event", 200ms)) != ""; }));
    EXPECT_EQ(Flags(line), STATUS_REMOTE_CALLBACK | STATUS_SERVER_ACTIVE | STATUS_SERVER_PRESENT);
    UnregisterVelkServer(server);
}

TEST_F(MultiProcess, RemoteAccessRequestReachesAServerInAnotherProcess)
{
    Peer server;
    uint32_t s = server.Register("server");
    ASSERT_NE(s, BOARD_INVALID_HANDLE);
    uint32_t monitor = RegisterEventCallback(nullptr), router = RegisterVelkDll();

    EXPECT_EQ(SetRemoteAccess(router, 5), 0u);
    EXPECT_EQ(view.header()->remoteAccessRequest, 0u) << "only event-callback handles post requests";

    for (uint32_t value : {5u, 0u}) {
        char expected[32];
        snprintf(expected, sizeof expected, "request 0x%08X", value | REMOTE_ACCESS_PENDING);
        EXPECT_TRUE(PulseUntil([&] { EXPECT_EQ(SetRemoteAccess(monitor, value), 0u); },
                               [&] { return server.Expect(expected, 200ms) != ""; }))
            << expected;
        EXPECT_TRUE(Eventually([&] { return view.header()->remoteAccessRequest == 0; }));
    }

    // Only the registering process may end a registration with a thread.
    SetLastError(0);
    EXPECT_EQ(UnregisterVelkServer(s), 0u);
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_EQ(view.CountOwnedBy(KIND_SERVER, server.pid()), 1u);
    EXPECT_EQ(server.Call("unregister-server " + std::to_string(s), "result"), (std::vector<uint32_t>{1, 0}));

    UnregisterEventCallback(monitor);
    UnregisterVelkDll(router);
}

TEST_F(MultiProcess, ProcessKilledHoldingTheLockDoesNotBlockTheOthers)
{
    {
        Peer holder;
        ASSERT_TRUE(holder.started());
        holder.Send("lock");
        ASSERT_NE(holder.Expect("locked"), "");
        auto blocked = std::async(std::launch::async, [] { return GetStatus(0, nullptr, nullptr); });
        EXPECT_EQ(blocked.wait_for(300ms), std::future_status::timeout) << "the lock is held";
        holder.Kill();
        EXPECT_EQ(blocked.wait_for(10s), std::future_status::ready) << "an abandoned lock counts as taken";
    }
    Peer next;
    uint32_t h = next.Register("router");
    EXPECT_NE(h, BOARD_INVALID_HANDLE);
    EXPECT_EQ(next.Call("unregister-router " + std::to_string(h), "result"), (std::vector<uint32_t>{1, 0}));
}

TEST_F(MultiProcess, LaterProcessLaysOutADamagedHeapAnew)
{
    ASSERT_NE(RegisterVelkDll(), BOARD_INVALID_HANDLE); // lost with the heap
    view.Locked([&] { return view.heapHeader()->signature2 = 0; });
    {
        Peer later;
        uint32_t h = later.Register("router");
        EXPECT_EQ(h, 28u) << "the heap was laid out anew";
        EXPECT_EQ(view.List(KIND_DLL), (std::vector<std::pair<uint32_t, uint32_t>>{{28, later.pid()}}))
            << "the lost records are gone from the lists";
    }
    EXPECT_EQ(view.FreeList(), (std::vector<std::pair<uint32_t, uint32_t>>{{24, 524264}}));
}

TEST_F(MultiProcess, UnloadingTheLibraryRemovesTheProcesssRecords)
{
    uint32_t attached = view.header()->attachCount;
    Peer loader("", "dynamic_loader.exe");
    ASSERT_NE(loader.Expect("registered "), "");
    EXPECT_EQ(view.header()->attachCount, attached + 1);
    EXPECT_EQ(view.CountOwnedBy(KIND_DLL, loader.pid()), 1u);
    loader.Send("unload");
    EXPECT_EQ(loader.Expect("unloaded "), "unloaded 1");
    EXPECT_EQ(view.CountOwnedBy(KIND_DLL, loader.pid()), 0u) << "removed while the process lives on";
    EXPECT_EQ(view.header()->attachCount, attached);
}

TEST_F(MultiProcess, NotificationThreadKeepsTheLibraryLoaded)
{
    Peer loader("", "dynamic_loader.exe", "event");
    ASSERT_NE(loader.Expect("registered "), "");
    loader.Send("unload");
    EXPECT_EQ(loader.Expect("unloaded "), "unloaded 0") << "its thread still runs in the library";
    EXPECT_EQ(view.CountOwnedBy(KIND_EVENT, loader.pid()), 1u);
    const DWORD pid = loader.pid();
    loader.EndInput();
    ASSERT_TRUE(loader.WaitExit(10000));
    EXPECT_EQ(view.CountOwnedBy(KIND_EVENT, pid), 0u);
    EXPECT_EQ(view.CountOwnedBy(KIND_DLL, pid), 0u);
}

TEST_F(MultiProcess, RouterImportsByOrdinal)
{
    // The import table of a program linked with the by-ordinal import library.
    HMODULE image = LoadLibraryExA("ordinal_client.exe", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr);
    auto base = reinterpret_cast<const unsigned char *>(image);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(base + reinterpret_cast<const IMAGE_DOS_HEADER *>(base)->e_lfanew);
    auto imports = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(
        base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
    std::vector<uint32_t> ordinals;
    for (; imports->Name; imports++) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + imports->Name), "VELKCOMM.dll") != 0)
            continue;
        for (auto thunk = reinterpret_cast<const IMAGE_THUNK_DATA32 *>(base + imports->OriginalFirstThunk);
             thunk->u1.Ordinal; thunk++) {
            EXPECT_TRUE(IMAGE_SNAP_BY_ORDINAL32(thunk->u1.Ordinal)) << "imported by name";
            ordinals.push_back(IMAGE_ORDINAL32(thunk->u1.Ordinal));
        }
    }
    FreeLibrary(image);
    std::sort(ordinals.begin(), ordinals.end());
    EXPECT_EQ(ordinals, (std::vector<uint32_t>{5, 6, 7}));

    Peer client("", "ordinal_client.exe", "0x00000300");
    std::string answer = client.Expect("handle ");
    ASSERT_NE(answer, "");
    EXPECT_EQ(answer.substr(answer.rfind(' ')), " 0") << "ChangeStatus accepted the handle";
    uint32_t total = 0;
    GetStatus(0, &total, nullptr);
    EXPECT_EQ(total, 0x300u);
    EXPECT_EQ(view.CountOwnedBy(KIND_DLL, client.pid()), 1u);
}

} // namespace
