#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "rpc_registration.h"
#include "rpcrt.h"
#include "test_server_process.h"
#include "velk_callback.h"

// The callback interface is registered in this process; its calls are not made here.
long CallbackResponse(handle_t, long, unsigned char *, long, unsigned char *) { return 0; }
long CallbackNotify(handle_t, unsigned char *, long, unsigned char *) { return 0; }

namespace {

RPC_IF_HANDLE const kIface = VelkCallback_v1_0_s_ifspec;

// Protocol sequences of the interface's elements in this machine's endpoint map.
std::multiset<std::string> MapProtseqs(RPC_IF_HANDLE iface)
{
    std::multiset<std::string> found;
    RPC_BINDING_HANDLE local = nullptr;
    RPC_EP_INQ_HANDLE inq = nullptr;
    RPC_IF_ID id;
    RpcIfInqId(iface, &id);
    RpcBindingFromStringBindingA((RPC_CSTR) "ncalrpc:", &local);
    if (RtMgmtEpEltInqBegin(local, RPC_C_EP_MATCH_BY_IF, &id, RPC_C_VERS_COMPATIBLE, nullptr,
                            &inq) == RPC_S_OK) {
        RPC_BINDING_HANDLE b = nullptr;
        while (RtMgmtEpEltInqNextA(inq, nullptr, &b, nullptr, nullptr) == RPC_S_OK) {
            RPC_CSTR text = nullptr;
            RpcBindingToStringBindingA(b, &text);
            std::string s = (const char *)text;
            found.insert(s.substr(0, s.find(':')));
            RpcStringFreeA(&text);
            RpcBindingFree(&b);
        }
        RtMgmtEpEltInqDone(&inq);
    }
    RpcBindingFree(&local);
    return found;
}

std::vector<RpcSlot> Slots(std::initializer_list<const char *> names)
{
    std::vector<RpcSlot> slots(RPC_SLOT_COUNT);
    std::memset(slots.data(), 0, slots.size() * sizeof(RpcSlot));
    size_t i = 0;
    for (const char *n : names)
        std::strcpy(slots[i++], n);
    return slots;
}

class Registration : public ::testing::Test {
protected:
    void TearDown() override { UnregisterRpcServer(kIface, nullptr, FALSE); }
};

} // namespace

TEST_F(Registration, ListThatGivesNoEndpointFailsWith1720)
{
    auto protseqs = Slots({"ncacn_nb_nb", "bogus", "", " ncalrpc", "NCALRPC_X"});
    unsigned long count = 5;
    EXPECT_EQ(RegisterRpcServer(kIface, &count, protseqs.data(), nullptr, nullptr),
              RPC_S_CANT_CREATE_ENDPOINT);
    EXPECT_EQ(count, 5u) << "count is only set after the bindings are known";
    EXPECT_TRUE(MapProtseqs(kIface).empty());
}

TEST_F(Registration, ListRegistersOnItsProtocolSequencesAndFillsTheSlots)
{
    auto protseqs = Slots({"ncacn_nb_nb", "ncalrpc", "ncacn_ip_tcp"});
    auto bindings = Slots({});
    std::strcpy(bindings[7], "untouched");
    unsigned long count = 3;
    ASSERT_EQ(RegisterRpcServer(kIface, &count, protseqs.data(), bindings.data(), nullptr), RPC_S_OK);

    RPC_BINDING_VECTOR *vector = nullptr;
    ASSERT_EQ(RpcServerInqBindings(&vector), RPC_S_OK);
    EXPECT_EQ(count, vector->Count);
    ASSERT_GE(vector->Count, 2u);
    // NetBIOS gave nothing: the slots hold the vector's (last) two bindings, in its order.
    unsigned long n = vector->Count < 3 ? vector->Count : 3;
    for (unsigned long i = 0; i < n; i++) {
        RPC_CSTR text = nullptr;
        RpcBindingToStringBindingA(vector->BindingH[vector->Count - n + i], &text);
        EXPECT_STREQ(bindings[i], (const char *)text);
        RpcStringFreeA(&text);
    }
    RpcBindingVectorFree(&vector);
    EXPECT_STREQ(bindings[n], "");
    EXPECT_STREQ(bindings[7], "untouched");

    std::multiset<std::string> inMap = MapProtseqs(kIface);
    EXPECT_GE(inMap.count("ncalrpc"), 1u);
    EXPECT_GE(inMap.count("ncacn_ip_tcp"), 1u);

    EXPECT_EQ(UnregisterRpcServer(kIface, nullptr, FALSE), RPC_S_OK);
    EXPECT_TRUE(MapProtseqs(kIface).empty());
}

TEST_F(Registration, CountZeroUsesEveryProtocolSequenceWithoutNetBios)
{
    unsigned long count = 0;
    auto bindings = Slots({});
    ASSERT_EQ(RegisterRpcServer(kIface, &count, nullptr, bindings.data(), nullptr), RPC_S_OK);
    EXPECT_GE(count, 3u);
    std::set<std::string> inMap;
    for (const std::string &p : MapProtseqs(kIface))
        inMap.insert(p);
    EXPECT_EQ(inMap, (std::set<std::string>{"ncacn_ip_tcp", "ncacn_np", "ncalrpc"}));
    for (unsigned long i = 0; i < RPC_SLOT_COUNT && i < count; i++)
        EXPECT_NE(std::strchr(bindings[i], ':'), nullptr) << i;
}

TEST_F(Registration, NameServiceEntryFailsWhereThereIsNoNameService)
{
    auto protseqs = Slots({"ncalrpc"});
    unsigned long count = 1;
    EXPECT_EQ(RegisterRpcServer(kIface, &count, protseqs.data(), nullptr, "/.:/VELK_SERVER"),
              RPC_S_NAME_SERVICE_UNAVAILABLE);
    EXPECT_TRUE(MapProtseqs(kIface).empty()) << "nothing registered after the failed export";
    EXPECT_EQ(UnregisterRpcServer(kIface, "/.:/VELK_SERVER", FALSE), RPC_S_NAME_SERVICE_UNAVAILABLE);
}

TEST(RemoveLocalEndpoints, RemovesTheElementsOfAnotherProcess)
{
    TestServerProcess server("ncalrpc,ncacn_ip_tcp");
    ASSERT_TRUE(server.started());
    std::multiset<std::string> before = MapProtseqs(VelkServer_v1_0_c_ifspec);
    EXPECT_EQ(before.count("ncalrpc"), 1u);
    EXPECT_EQ(before.count("ncacn_ip_tcp"), 1u);

    EXPECT_EQ(RemoveLocalEndpoints(VelkServer_v1_0_c_ifspec), RPC_S_OK);
    EXPECT_TRUE(MapProtseqs(VelkServer_v1_0_c_ifspec).empty());
}
