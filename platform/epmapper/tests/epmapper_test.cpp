#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ept.h"
#include "ept_tower.h"
#include "rpc_guard.h"

namespace {

const RPC_SYNTAX_IDENTIFIER kIface = {
    {0x1a2b3c4d, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}}, {1, 0}};

std::vector<unsigned char> Tower(unsigned port)
{
    std::vector<unsigned char> t(256);
    t.resize(EptTowerBuild(&kIface, "ncacn_ip_tcp", std::to_string(port).c_str(), "127.0.0.1",
                           t.data(), t.size()));
    return t;
}

ept_tower_t *WireTower(const std::vector<unsigned char> &octets)
{
    auto *t = static_cast<ept_tower_t *>(std::malloc(sizeof(ept_tower_t) + octets.size() + 1));
    t->tower_length = octets.size();
    std::memcpy(t->tower_octet_string, octets.data(), octets.size());
    return t;
}

// One endpoint-mapper operation through the guard; returns the RPC status
// (0 when the call itself went through) and leaves the mapper's in *status.
template <typename F> RPC_STATUS Call(F f)
{
    struct Arg { F *f; RPC_BINDING_HANDLE h; } arg = {&f, nullptr};
    RpcBindingFromStringBindingA((RPC_CSTR) "ncalrpc:[epmapper]", &arg.h);
    RPC_STATUS rc = RpcGuardCall([](void *p) {
        auto *a = static_cast<Arg *>(p);
        (*a->f)(a->h);
    }, &arg);
    RpcBindingFree(&arg.h);
    return rc;
}

error_status_t Insert(const std::vector<std::vector<unsigned char>> &towers, RPC_STATUS *rc = nullptr)
{
    std::vector<ept_entry_in_t> e(towers.size());
    std::memset(e.data(), 0, e.size() * sizeof e[0]);
    for (size_t i = 0; i < towers.size(); i++) {
        e[i].tower = WireTower(towers[i]);
        std::strcpy((char *)e[i].annotation, "epmapper test");
    }
    error_status_t status = 0xFFFF;
    RPC_STATUS r = Call([&](handle_t h) { ept_insert(h, e.size(), e.data(), 1, &status); });
    if (rc)
        *rc = r;
    for (auto &x : e)
        std::free(x.tower);
    return status;
}

error_status_t Delete(const std::vector<unsigned char> &tower)
{
    ept_entry_t e = {};
    e.tower = WireTower(tower);
    error_status_t status = 0xFFFF;
    EXPECT_EQ(Call([&](handle_t h) { ept_delete(h, 1, &e, &status); }), RPC_S_OK);
    std::free(e.tower);
    return status;
}

// Lookup by interface in batches of max; returns the batch sizes.
std::vector<unsigned long> LookupBatches(unsigned long max, error_status_t *last)
{
    std::vector<unsigned long> sizes;
    ept_lookup_handle_t handle = nullptr;
    ept_if_id_t id = {};
    std::memcpy(&id.uuid, &kIface.SyntaxGUID, 16);
    id.vers_major = 1;
    std::vector<ept_entry_t> entries(max);
    do {
        std::memset(entries.data(), 0, entries.size() * sizeof entries[0]);
        unsigned long n = 0;
        EXPECT_EQ(Call([&](handle_t h) {
                      ept_lookup(h, RPC_C_EP_MATCH_BY_IF, nullptr, &id, RPC_C_VERS_COMPATIBLE, &handle,
                                 max, &n, entries.data(), last);
                  }),
                  RPC_S_OK);
        if (*last != RPC_S_OK)
            break;
        sizes.push_back(n);
        for (unsigned long i = 0; i < n; i++)
            MIDL_user_free(entries[i].tower);
    } while (handle);
    return sizes;
}

class Mapper : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (unsigned port = 5000; port < 5040; port++)
            Delete(Tower(port));
    }
};

} // namespace

TEST(EptTower, BuildsAndReadsTowers)
{
    struct Case { const char *protseq, *endpoint, *address, *wantAddress; } cases[] = {
        {"ncacn_ip_tcp", "4242", "127.0.0.1", "127.0.0.1"},
        {"ncacn_ip_tcp", "135", "", ""},
        {"ncacn_np", "\\pipe\\x", "\\\\VM", "\\\\VM"},
        {"ncalrpc", "LRPC0001", "", ""},
    };
    for (const Case &c : cases) {
        unsigned char t[256];
        unsigned long n = EptTowerBuild(&kIface, c.protseq, c.endpoint, c.address, t, sizeof t);
        ASSERT_GT(n, 0u) << c.protseq;
        EptTowerInfo info;
        ASSERT_TRUE(EptTowerParse(t, n, &info)) << c.protseq;
        EXPECT_STREQ(info.protseq, c.protseq);
        EXPECT_STREQ(info.endpoint, c.endpoint);
        EXPECT_STREQ(info.address, c.wantAddress);
        EXPECT_EQ(info.ifMajor, 1);
        EXPECT_FALSE(EptTowerParse(t, n - 1, &info)) << c.protseq << " cut short";
    }
    unsigned char t[16];
    EXPECT_EQ(EptTowerBuild(&kIface, "ncacn_ip_tcp", "1", "", t, sizeof t), 0u) << "does not fit";
    EXPECT_EQ(EptTowerBuild(&kIface, "ncacn_nb_nb", "1", "", t, sizeof t), 0u) << "no tower form";
}

TEST(EptTower, RejectsMalformedTowers)
{
    std::vector<unsigned char> good = Tower(4242);
    auto with = [&](size_t at, unsigned char v) {
        std::vector<unsigned char> t = good;
        t[at] = v;
        return t;
    };
    std::vector<std::vector<unsigned char>> bad = {
        {},
        {5},
        with(0, 0xFF),                         // floor count beyond the octets
        with(0, 2),                            // too few floors, rest left over
        with(2, 0xFF),                         // first left-hand side beyond the end
        with(2, 18),                           // interface floor of the wrong size
        with(4, 0x0c),                         // not a UUID floor
        {std::vector<unsigned char>(good.begin(), good.begin() + 30)},
    };
    for (size_t i = 0; i < bad.size(); i++) {
        EptTowerInfo info;
        EXPECT_FALSE(EptTowerParse(bad[i].data(), bad[i].size(), &info)) << i;
    }
    // A text endpoint whose terminator is missing.
    unsigned char t[256];
    unsigned long n = EptTowerBuild(&kIface, "ncalrpc", "ABC", "", t, sizeof t);
    t[n - 1] = 'D';
    EptTowerInfo info;
    EXPECT_FALSE(EptTowerParse(t, n, &info));
}

TEST_F(Mapper, LooksUpInBatchesAndDeletes)
{
    std::vector<std::vector<unsigned char>> towers;
    for (unsigned port = 5000; port < 5040; port++)
        towers.push_back(Tower(port));
    ASSERT_EQ(Insert(towers), RPC_S_OK);

    error_status_t last;
    EXPECT_EQ(LookupBatches(16, &last), (std::vector<unsigned long>{16, 16, 8}));
    EXPECT_EQ(last, RPC_S_OK);

    EXPECT_EQ(Delete(Tower(5000)), RPC_S_OK);
    EXPECT_EQ(Delete(Tower(5000)), (error_status_t)EPT_S_NOT_REGISTERED);
    EXPECT_EQ(LookupBatches(100, &last), (std::vector<unsigned long>{39}));
}

TEST_F(Mapper, LookupHandleFreedHalfWay)
{
    ASSERT_EQ(Insert({Tower(5001), Tower(5002), Tower(5003)}), RPC_S_OK);
    ept_lookup_handle_t handle = nullptr;
    ept_if_id_t id = {};
    std::memcpy(&id.uuid, &kIface.SyntaxGUID, 16);
    id.vers_major = 1;
    ept_entry_t entry = {};
    unsigned long n = 0;
    error_status_t status;
    ASSERT_EQ(Call([&](handle_t h) {
                  ept_lookup(h, RPC_C_EP_MATCH_BY_IF, nullptr, &id, RPC_C_VERS_ALL, &handle, 1, &n,
                             &entry, &status);
              }),
              RPC_S_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_NE(handle, nullptr);
    MIDL_user_free(entry.tower);
    EXPECT_EQ(Call([&](handle_t h) { ept_lookup_handle_free(h, &handle, &status); }), RPC_S_OK);
    EXPECT_EQ(status, RPC_S_OK);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(Mapper, BadInputGetsClearStatusesAndChangesNothing)
{
    ASSERT_EQ(Insert({Tower(5001)}), RPC_S_OK);
    std::vector<unsigned char> broken = Tower(5002);
    broken[2] = 0xFF;
    EXPECT_EQ(Insert({Tower(5003), broken}), (error_status_t)EPT_S_INVALID_ENTRY);
    error_status_t last;
    EXPECT_EQ(LookupBatches(16, &last), (std::vector<unsigned long>{1})) << "all or nothing";

    ept_if_id_t id = {};
    ept_entry_t entry = {};
    unsigned long n = 99;
    ept_lookup_handle_t handle = nullptr;
    struct Case { unsigned long type, option, max; error_status_t want; } cases[] = {
        {9, RPC_C_VERS_ALL, 1, EPT_S_CANT_PERFORM_OP},
        {RPC_C_EP_MATCH_BY_IF, 0, 1, RPC_S_INVALID_VERS_OPTION},
        {RPC_C_EP_MATCH_BY_IF, 77, 1, RPC_S_INVALID_VERS_OPTION},
        {RPC_C_EP_MATCH_BY_OBJ, RPC_C_VERS_ALL, 1, EPT_S_CANT_PERFORM_OP}, // no object
        {RPC_C_EP_ALL_ELTS, RPC_C_VERS_ALL, 0, EPT_S_CANT_PERFORM_OP},
    };
    for (const Case &c : cases) {
        error_status_t status = 0;
        EXPECT_EQ(Call([&](handle_t h) {
                      ept_lookup(h, c.type, nullptr, &id, c.option, &handle, c.max, &n, &entry,
                                 &status);
                  }),
                  RPC_S_OK);
        EXPECT_EQ(status, c.want) << c.type << "/" << c.option << "/" << c.max;
        EXPECT_EQ(n, 0u);
    }

    // A count far beyond any reply: the call fails cleanly and the mapper goes on.
    error_status_t status = 0;
    RPC_STATUS rc = Call([&](handle_t h) {
        ept_lookup(h, RPC_C_EP_MATCH_BY_IF, nullptr, &id, RPC_C_VERS_ALL, &handle, 0x7FFFFFFF, &n,
                   &entry, &status);
    });
    EXPECT_TRUE(rc != RPC_S_OK || status != RPC_S_OK) << rc << " " << status;
    EXPECT_EQ(LookupBatches(16, &last), (std::vector<unsigned long>{1}));

    // Map and management delete with towers that cannot be read.
    ept_tower_t *bad = WireTower(broken);
    ept_tower_t *towers[1] = {};
    EXPECT_EQ(Call([&](handle_t h) {
                  ept_map(h, nullptr, bad, &handle, 1, &n, towers, &status);
              }),
              RPC_S_OK);
    EXPECT_EQ(status, (error_status_t)EPT_S_INVALID_ENTRY);
    EXPECT_EQ(Call([&](handle_t h) { ept_mgmt_delete(h, 0, nullptr, bad, &status); }), RPC_S_OK);
    EXPECT_EQ(status, (error_status_t)EPT_S_INVALID_ENTRY);
    EXPECT_EQ(Call([&](handle_t h) { ept_mgmt_delete(h, 0, nullptr, nullptr, &status); }), RPC_S_OK);
    EXPECT_EQ(status, (error_status_t)EPT_S_INVALID_ENTRY);
    std::free(bad);
}

TEST_F(Mapper, MapFindsTheEndpointOfAnInterface)
{
    ASSERT_EQ(Insert({Tower(5001)}), RPC_S_OK);
    ept_tower_t *query = WireTower(Tower(0));
    ept_tower_t *towers[4] = {};
    ept_lookup_handle_t handle = nullptr;
    unsigned long n = 0;
    error_status_t status = 1;
    ASSERT_EQ(Call([&](handle_t h) { ept_map(h, nullptr, query, &handle, 4, &n, towers, &status); }),
              RPC_S_OK);
    EXPECT_EQ(status, RPC_S_OK);
    ASSERT_EQ(n, 1u);
    EptTowerInfo info;
    ASSERT_TRUE(EptTowerParse(towers[0]->tower_octet_string, towers[0]->tower_length, &info));
    EXPECT_STREQ(info.endpoint, "5001");
    MIDL_user_free(towers[0]);
    std::free(query);
}
