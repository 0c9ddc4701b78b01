#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "rpc_guard.h"
#include "rpcrt.h"

namespace {

// An interface of our own, registered in the machine's endpoint map by the test.
RPC_SERVER_INTERFACE MakeInterface(const UUID &id, unsigned short major, unsigned short minor)
{
    RPC_SERVER_INTERFACE s = {};
    s.Length = sizeof s;
    s.InterfaceId.SyntaxGUID = id;
    s.InterfaceId.SyntaxVersion.MajorVersion = major;
    s.InterfaceId.SyntaxVersion.MinorVersion = minor;
    s.TransferSyntax.SyntaxGUID = {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}};
    s.TransferSyntax.SyntaxVersion.MajorVersion = 2;
    return s;
}

const UUID kProbe = {0x5f1c2a9e, 0x0b47, 0x4c1d, {0x9a, 0x61, 0x3e, 0x27, 0x88, 0x04, 0xd1, 0x5b}};

RPC_BINDING_HANDLE Bind(const char *text)
{
    RPC_BINDING_HANDLE h = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingA((RPC_CSTR)text, &h), RPC_S_OK) << text;
    return h;
}

std::string BindingText(RPC_BINDING_HANDLE h)
{
    RPC_CSTR text = nullptr;
    if (RpcBindingToStringBindingA(h, &text) != RPC_S_OK)
        return "?";
    std::string s = (const char *)text;
    RpcStringFreeA(&text);
    return s;
}

struct Element {
    std::string binding, annotation;
    RPC_IF_ID id;
};

// Every element an inquiry returns, and the status that ended it.
std::vector<Element> Inquire(const char *node, unsigned long type, RPC_IF_ID *id, unsigned long vers,
                             UUID *object, RPC_STATUS *end)
{
    std::vector<Element> out;
    RPC_BINDING_HANDLE h = Bind(node);
    RPC_EP_INQ_HANDLE inq = nullptr;
    *end = RtMgmtEpEltInqBegin(h, type, id, vers, object, &inq);
    if (*end == RPC_S_OK) {
        for (;;) {
            Element e;
            RPC_BINDING_HANDLE b = nullptr;
            RPC_CSTR annotation = nullptr;
            *end = RtMgmtEpEltInqNextA(inq, &e.id, &b, nullptr, &annotation);
            if (*end != RPC_S_OK)
                break;
            e.binding = BindingText(b);
            e.annotation = (const char *)annotation;
            RpcStringFreeA(&annotation);
            RpcBindingFree(&b);
            out.push_back(e);
        }
        EXPECT_EQ(RtMgmtEpEltInqDone(&inq), RPC_S_OK);
        EXPECT_EQ(inq, nullptr);
    }
    RpcBindingFree(&h);
    return out;
}

class EndpointMap : public ::testing::Test {
protected:
    RPC_SERVER_INTERFACE iface = MakeInterface(kProbe, 1, 2);
    RPC_BINDING_VECTOR *vector = nullptr;

    void SetUp() override
    {
        ASSERT_EQ(RpcServerUseProtseqA((RPC_CSTR) "ncalrpc", 10, nullptr), RPC_S_OK);
        ASSERT_EQ(RpcServerUseProtseqA((RPC_CSTR) "ncacn_ip_tcp", 10, nullptr), RPC_S_OK);
        ASSERT_EQ(RpcServerInqBindings(&vector), RPC_S_OK);
        ASSERT_EQ(RpcEpRegisterA(&iface, vector, nullptr, (RPC_CSTR) "rpcrt probe"), RPC_S_OK);
    }
    void TearDown() override
    {
        RtEpUnregister(&iface, vector, nullptr);
        RpcBindingVectorFree(&vector);
    }
    RPC_IF_ID Id(unsigned short major, unsigned short minor)
    {
        RPC_IF_ID id = {kProbe, major, minor};
        return id;
    }
};

} // namespace

TEST_F(EndpointMap, ListsTheElementsWithTheNodeAddressFilledIn)
{
    RPC_STATUS end;
    RPC_IF_ID id = Id(1, 0);
    auto tcp = Inquire("ncacn_ip_tcp:127.0.0.1", RPC_C_EP_MATCH_BY_IF, &id, RPC_C_VERS_COMPATIBLE,
                       nullptr, &end);
    EXPECT_EQ(end, RPC_X_NO_MORE_ENTRIES);
    std::set<std::string> protseqs;
    for (const Element &e : tcp) {
        protseqs.insert(e.binding.substr(0, e.binding.find(':')));
        EXPECT_EQ(e.annotation, "rpcrt probe");
        EXPECT_EQ(e.id.VersMajor, 1);
        EXPECT_EQ(e.id.VersMinor, 2);
        if (e.binding.rfind("ncacn_ip_tcp:", 0) == 0) {
            EXPECT_EQ(e.binding.find("ncacn_ip_tcp:127.0.0.1["), 0u) << e.binding;
        }
    }
    EXPECT_EQ(protseqs, (std::set<std::string>{"ncacn_ip_tcp", "ncalrpc"}));

    auto local = Inquire("ncalrpc:", RPC_C_EP_MATCH_BY_IF, &id, RPC_C_VERS_COMPATIBLE, nullptr, &end);
    EXPECT_EQ(local.size(), tcp.size());
}

TEST_F(EndpointMap, VersionOptionsSelectAsTheRunTimeDefinesThem)
{
    struct Case { unsigned short major, minor; unsigned long option; bool found; } cases[] = {
        {1, 0, RPC_C_VERS_COMPATIBLE, true},  {1, 2, RPC_C_VERS_COMPATIBLE, true},
        {1, 3, RPC_C_VERS_COMPATIBLE, false}, {2, 0, RPC_C_VERS_COMPATIBLE, false},
        {1, 2, RPC_C_VERS_EXACT, true},       {1, 1, RPC_C_VERS_EXACT, false},
        {1, 9, RPC_C_VERS_MAJOR_ONLY, true},  {3, 0, RPC_C_VERS_MAJOR_ONLY, false},
        {1, 1, RPC_C_VERS_UPTO, false},       {1, 2, RPC_C_VERS_UPTO, true},
        {2, 0, RPC_C_VERS_UPTO, true},        {7, 7, RPC_C_VERS_ALL, true},
    };
    for (const Case &c : cases) {
        RPC_STATUS end;
        RPC_IF_ID id = Id(c.major, c.minor);
        auto found = Inquire("ncalrpc:", RPC_C_EP_MATCH_BY_IF, &id, c.option, nullptr, &end);
        EXPECT_EQ(!found.empty(), c.found) << c.major << "." << c.minor << " option " << c.option;
        EXPECT_EQ(end, RPC_X_NO_MORE_ENTRIES);
    }
}

TEST_F(EndpointMap, AllElementsIncludesOurs)
{
    RPC_STATUS end;
    auto all = Inquire("ncalrpc:", RPC_C_EP_ALL_ELTS, nullptr, 0, nullptr, &end);
    EXPECT_EQ(end, RPC_X_NO_MORE_ENTRIES);
    int ours = 0;
    for (const Element &e : all)
        ours += e.annotation == "rpcrt probe";
    EXPECT_EQ(ours, 2);
}

TEST_F(EndpointMap, UnregisterRemovesTheElements)
{
    RPC_STATUS end;
    RPC_IF_ID id = Id(1, 0);
    ASSERT_EQ(RtEpUnregister(&iface, vector, nullptr), RPC_S_OK);
    EXPECT_TRUE(Inquire("ncalrpc:", RPC_C_EP_MATCH_BY_IF, &id, RPC_C_VERS_COMPATIBLE, nullptr, &end)
                    .empty());
}

TEST(EndpointMapInquiry, RejectsBadArgumentsAndReportsUnreachableMappers)
{
    RPC_IF_ID id = {kProbe, 1, 0};
    RPC_EP_INQ_HANDLE inq = nullptr;
    RPC_BINDING_HANDLE local = Bind("ncalrpc:");
    EXPECT_EQ(RtMgmtEpEltInqBegin(local, 7, &id, RPC_C_VERS_ALL, nullptr, &inq), RPC_S_INVALID_ARG);
    EXPECT_EQ(RtMgmtEpEltInqBegin(local, RPC_C_EP_MATCH_BY_IF, &id, 9, nullptr, &inq),
              RPC_S_INVALID_VERS_OPTION);
    EXPECT_EQ(RtMgmtEpEltInqBegin(local, RPC_C_EP_MATCH_BY_IF, nullptr, RPC_C_VERS_ALL, nullptr, &inq),
              RPC_S_INVALID_ARG);
    EXPECT_EQ(RtMgmtEpEltInqDone(&inq), RPC_S_INVALID_ARG);
    RpcBindingFree(&local);

    // NetBIOS is not supported here: the lookup itself fails, and its status ends the inquiry.
    RPC_STATUS end;
    EXPECT_TRUE(Inquire("ncacn_nb_nb:NODE", RPC_C_EP_MATCH_BY_IF, &id, RPC_C_VERS_ALL, nullptr, &end)
                    .empty());
    EXPECT_EQ(end, RPC_S_PROTSEQ_NOT_SUPPORTED);
}

TEST(UseAllProtseqs, ListensOnEveryProtocolSequenceTheMachineSupports)
{
    RPC_BINDING_VECTOR *vector = nullptr;
    ASSERT_EQ(RtServerUseAllProtseqs(10, nullptr), RPC_S_OK);
    ASSERT_EQ(RpcServerInqBindings(&vector), RPC_S_OK);
    std::set<std::string> protseqs;
    for (unsigned long i = 0; i < vector->Count; i++) {
        std::string text = BindingText(vector->BindingH[i]);
        protseqs.insert(text.substr(0, text.find(':')));
    }
    RpcBindingVectorFree(&vector);
    EXPECT_EQ(protseqs, (std::set<std::string>{"ncacn_ip_tcp", "ncacn_np", "ncalrpc"}));
}

TEST(NameService, ReportsItIsUnavailable)
{
    RPC_SERVER_INTERFACE iface = MakeInterface(kProbe, 1, 0);
    EXPECT_EQ(RtNsBindingExportA(RPC_C_NS_SYNTAX_DEFAULT, (RPC_CSTR) "/.:/VELK_SERVER", &iface,
                                 nullptr, nullptr),
              RPC_S_NAME_SERVICE_UNAVAILABLE);
    EXPECT_EQ(RtNsBindingUnexportA(RPC_C_NS_SYNTAX_DEFAULT, (RPC_CSTR) "/.:/VELK_SERVER", &iface,
                                   nullptr),
              RPC_S_NAME_SERVICE_UNAVAILABLE);
}

TEST(RpcGuard, TurnsRunTimeExceptionsIntoStatuses)
{
    EXPECT_EQ(RpcGuardCall([](void *) {}, nullptr), RPC_S_OK);
    EXPECT_EQ(RpcGuardCall([](void *) { RpcRaiseException(RPC_S_SERVER_UNAVAILABLE); }, nullptr),
              (RPC_STATUS)RPC_S_SERVER_UNAVAILABLE);
    // Nested guards: the inner one catches, the outer one sees a normal return.
    EXPECT_EQ(RpcGuardCall([](void *) {
                  static RPC_STATUS inner;
                  inner = RpcGuardCall([](void *) { RpcRaiseException(RPC_X_SS_IN_NULL_CONTEXT); },
                                       nullptr);
                  if (inner != RPC_X_SS_IN_NULL_CONTEXT)
                      RpcRaiseException(1);
              }, nullptr),
              RPC_S_OK);
}
