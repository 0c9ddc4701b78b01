#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "node_binding.h"
#include "protocol_list.h"
#include "rpc_guard.h"
#include "test_server_process.h"
#include "velk_server.h"

namespace {

// The configuration sources of the protocol list, set and removed around each case.
class ProtocolConfig : public ::testing::Test {
protected:
    void TearDown() override
    {
        SetEnvironmentVariableA(PROTOCOL_VALUE, nullptr);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane\\Brantis\\Parameters");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane\\Brantis");
        if (!orvaneExisted)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane");
    }
    void SetUp() override
    {
        HKEY k;
        orvaneExisted = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", 0, KEY_READ, &k) == 0;
        if (orvaneExisted)
            RegCloseKey(k);
    }
    void SetRegistry(const std::string &value)
    {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, PROTOCOL_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &k, nullptr),
                  0);
        ASSERT_EQ(RegSetValueExA(k, PROTOCOL_VALUE, 0, REG_SZ, (const BYTE *)value.c_str(),
                                 value.size() + 1),
                  0);
        RegCloseKey(k);
    }
    std::vector<std::string> Read()
    {
        ReadProtocolList();
        std::vector<std::string> names;
        for (unsigned long i = 0; i < protocolList.count; i++)
            names.push_back(protocolList.names[i]);
        return names;
    }
    bool orvaneExisted = false;
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(ProtocolConfig, DefaultsWithoutConfiguration)
{
    EXPECT_EQ(Read(), (Names{"ncacn_nb_nb", "ncacn_ip_tcp"}));
}

TEST_F(ProtocolConfig, EnvironmentTextIsSplitAsWritten)
{
    struct Case { std::string text; Names names; } cases[] = {
        {"ncacn_ip_tcp", {"ncacn_ip_tcp"}},
        {",ncacn_ip_tcp", {"", "ncacn_ip_tcp"}},
        {" ncacn_ip_tcp,NCALRPC", {" ncacn_ip_tcp", "NCALRPC"}},
        {"a,,b,", {"a", "", "b", ""}},
        {"1,2,3,4,5,6,7,8,9,10", {"1", "2", "3", "4", "5", "6", "7", "8"}},
        {std::string(64, 'x') + ",ncalrpc", {"", "ncalrpc"}},
    };
    for (const Case &c : cases) {
        SetEnvironmentVariableA(PROTOCOL_VALUE, c.text.c_str());
        EXPECT_EQ(Read(), c.names) << c.text;
    }
    // Too long for the 128-byte buffer: as if it were not set.
    SetEnvironmentVariableA(PROTOCOL_VALUE, std::string(200, 'y').c_str());
    EXPECT_EQ(Read(), (Names{"ncacn_nb_nb", "ncacn_ip_tcp"}));
}

TEST_F(ProtocolConfig, RegistryBeatsEnvironmentUnlessTooLong)
{
    SetEnvironmentVariableA(PROTOCOL_VALUE, "ncalrpc");
    SetRegistry("ncacn_ip_tcp,ncacn_np");
    EXPECT_EQ(Read(), (Names{"ncacn_ip_tcp", "ncacn_np"}));

    SetRegistry(std::string(127, 'r'));
    EXPECT_EQ(Read(), (Names{""})) << "127 characters and the terminator fit; too long for a slot";

    SetRegistry(std::string(200, 'r'));
    EXPECT_EQ(Read(), (Names{"ncalrpc"})) << "a value that does not fit counts as missing";
}

TEST(ComposeNodeBinding, CutsNodeNamesForNetBiosOnly)
{
    const std::string longName = "ABCDEFGHIJKLMNOPQRS"; // 19 characters
    struct Case { const char *protseq; std::string binding; } cases[] = {
        {"ncacn_nb_nb", "ncacn_nb_nb:ABCDEFGHIJKLMNOP"},
        {"ncacn_nb_tcp", "ncacn_nb_tcp:ABCDEFGHIJKLMNOP"},
        {"ncacn_ip_tcp", "ncacn_ip_tcp:" + longName},
        {"ncacn_nb_ipx", "ncacn_nb_ipx:" + longName},
        {"NCACN_NB_NB", "NCACN_NB_NB:" + longName},
    };
    for (const Case &c : cases) {
        RPC_CSTR text = nullptr;
        ASSERT_EQ(ComposeNodeBinding(c.protseq, longName.c_str(), &text), RPC_S_OK);
        EXPECT_EQ((const char *)text, c.binding);
        RpcStringFreeA(&text);
    }
    RPC_CSTR text = nullptr;
    EXPECT_EQ(ComposeNodeBinding("ncacn_ip_tcp", std::string(64, 'n').c_str(), &text),
              RPC_S_INVALID_NET_ADDR);
}

TEST(MatchCallbackBinding, FirstEntryWithTheSameProtocolSequenceCaseSensitive)
{
    RpcSlot list[RPC_SLOT_COUNT] = {"ncalrpc:VM[LRPC1]", "NCACN_IP_TCP:[1]", "ncacn_ip_tcp_x:[2]",
                                    "ncacn_ip_tcp", "ncacn_ip_tcp:[3]", "ncacn_ip_tcp:[4]"};
    RPC_BINDING_HANDLE tcp = nullptr, lrpc = nullptr, np = nullptr;
    RpcBindingFromStringBindingA((RPC_CSTR) "ncacn_ip_tcp:127.0.0.1[5]", &tcp);
    RpcBindingFromStringBindingA((RPC_CSTR) "ncalrpc:[x]", &lrpc);
    RpcBindingFromStringBindingA((RPC_CSTR) "ncacn_np:[\\pipe\\x]", &np);

    EXPECT_EQ(MatchCallbackBinding(list, 6, tcp), list[4]);
    EXPECT_EQ(MatchCallbackBinding(list, 4, tcp), nullptr) << "only the first count entries";
    EXPECT_EQ(MatchCallbackBinding(list, 6, lrpc), list[0]);
    EXPECT_EQ(MatchCallbackBinding(list, 6, np), nullptr);
    EXPECT_EQ(MatchCallbackBinding(list, 0, lrpc), nullptr);

    RpcBindingFree(&tcp);
    RpcBindingFree(&lrpc);
    RpcBindingFree(&np);
}

namespace {

struct DirectCall {
    RPC_BINDING_HANDLE binding;
    unsigned char bytes[5];
    long result;
};

std::string Text(RPC_BINDING_HANDLE h)
{
    RPC_CSTR text = nullptr;
    if (!h || RpcBindingToStringBindingA(h, &text) != RPC_S_OK)
        return "";
    std::string s = (const char *)text;
    RpcStringFreeA(&text);
    return s;
}

std::string ComputerName()
{
    char name[32];
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    return name;
}

} // namespace

TEST(BindToNode, FindsTheServerThroughTheNodesEndpointMap)
{
    TestServerProcess server("ncalrpc,ncacn_ip_tcp");
    ASSERT_TRUE(server.started());

    for (const char *node : {"127.0.0.1", "localhost"}) {
        RPC_BINDING_HANDLE b = nullptr;
        ASSERT_EQ(BindToNode(VelkServer_v1_0_c_ifspec, "ncacn_ip_tcp", node, &b), RPC_S_OK) << node;
        // The run time registers TCP towers with the loopback address.
        EXPECT_EQ(Text(b).find("ncacn_ip_tcp:127.0.0.1["), 0u) << Text(b);

        DirectCall call = {b, {1, 2, 3, 4, 5}, -1};
        EXPECT_EQ(RpcGuardCall([](void *p) {
                      auto *c = static_cast<DirectCall *>(p);
                      c->result = RemoteInvokeDirect(c->binding, 5, c->bytes);
                  }, &call),
                  RPC_S_OK);
        EXPECT_EQ(call.result, 0);
        EXPECT_EQ(std::vector<unsigned char>(call.bytes, call.bytes + 5),
                  (std::vector<unsigned char>{1, 2, 3, 4, 5}));
        RpcBindingFree(&b);
    }

    RPC_BINDING_HANDLE b = nullptr;
    EXPECT_EQ(BindToNode(VelkServer_v1_0_c_ifspec, "ncalrpc", ComputerName().c_str(), &b), RPC_S_OK);
    EXPECT_EQ(Text(b).find("ncalrpc:"), 0u);
    RpcBindingFree(&b);

    // Registered, but not over named pipes: the enumeration's final status.
    EXPECT_EQ(BindToNode(VelkServer_v1_0_c_ifspec, "ncacn_np", "127.0.0.1", &b),
              RPC_X_NO_MORE_ENTRIES);
    EXPECT_EQ(b, nullptr);
    // NetBIOS is not supported on this machine.
    EXPECT_EQ(BindToNode(VelkServer_v1_0_c_ifspec, "ncacn_nb_nb", "127.0.0.1", &b),
              RPC_S_PROTSEQ_NOT_SUPPORTED);
}

TEST(FindServerEndpoint, MatchesTheProtocolSequenceWithoutRegardToCase)
{
    TestServerProcess server("ncacn_ip_tcp");
    ASSERT_TRUE(server.started());
    RPC_BINDING_HANDLE partial = nullptr, b = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingA((RPC_CSTR) "NCACN_IP_TCP:127.0.0.1", &partial), RPC_S_OK);
    EXPECT_EQ(FindServerEndpoint(VelkServer_v1_0_c_ifspec, partial, &b), RPC_S_OK);
    EXPECT_EQ(Text(b).find("ncacn_ip_tcp:127.0.0.1["), 0u) << Text(b);
    RpcBindingFree(&b);
    RpcBindingFree(&partial);
}

TEST(FindServerEndpoint, AbsentInterfaceEndsWithTheEnumerationsStatus)
{
    RPC_CLIENT_INTERFACE absent = {};
    absent.Length = sizeof absent;
    absent.InterfaceId = {{0x0badf00d, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}, {1, 0}};
    RPC_BINDING_HANDLE partial = nullptr, b = nullptr;
    RpcBindingFromStringBindingA((RPC_CSTR) "ncacn_ip_tcp:127.0.0.1", &partial);
    EXPECT_EQ(FindServerEndpoint(&absent, partial, &b), RPC_X_NO_MORE_ENTRIES);
    EXPECT_EQ(b, nullptr);
    RpcBindingFree(&partial);
}
