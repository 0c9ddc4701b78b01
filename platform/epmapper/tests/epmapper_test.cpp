#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ept.h"
#include "ept_tower.h"
#include "rpc_guard.h"

namespace {

const UUID kIface = {0x1a2b3c4d, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
const UUID kNdr = {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}};

void Put16(std::vector<unsigned char> &t, unsigned v)
{
    t.push_back(v & 0xFF);
    t.push_back((v >> 8) & 0xFF);
}

void Floor(std::vector<unsigned char> &t, std::vector<unsigned char> lhs, std::vector<unsigned char> rhs)
{
    Put16(t, lhs.size());
    t.insert(t.end(), lhs.begin(), lhs.end());
    Put16(t, rhs.size());
    t.insert(t.end(), rhs.begin(), rhs.end());
}

std::vector<unsigned char> UuidFloor(const UUID &u, unsigned major)
{
    std::vector<unsigned char> lhs(19);
    lhs[0] = 0x0d;
    std::memcpy(&lhs[1], &u, 16);
    lhs[17] = major & 0xFF;
    lhs[18] = major >> 8;
    return lhs;
}

// A TCP tower of an interface: interface, NDR, connection-oriented, port, IPv4 address.
std::vector<unsigned char> TcpTower(const UUID &iface, unsigned major, unsigned minor, unsigned port)
{
    std::vector<unsigned char> t;
    Put16(t, 5);
    Floor(t, UuidFloor(iface, major), {(unsigned char)minor, (unsigned char)(minor >> 8)});
    Floor(t, UuidFloor(kNdr, 2), {0, 0});
    Floor(t, {0x0b}, {0, 0});
    Floor(t, {0x07}, {(unsigned char)(port >> 8), (unsigned char)port});
    Floor(t, {0x09}, {0, 0, 0, 0});
    return t;
}

ept_tower_t *WireTower(const std::vector<unsigned char> &octets)
{
    auto *t = static_cast<ept_tower_t *>(std::malloc(sizeof(ept_tower_t) + octets.size()));
    t->tower_length = octets.size();
    std::memcpy(t->tower_octet_string, octets.data(), octets.size());
    return t;
}

RPC_BINDING_HANDLE Mapper()
{
    RPC_BINDING_HANDLE h = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingA((RPC_CSTR) "ncalrpc:[epmapper]", &h), RPC_S_OK);
    return h;
}

struct InsertCall {
    RPC_BINDING_HANDLE h;
    unsigned long n;
    ept_entry_in_t *entries;
    long replace;
    error_status_t status;
};

RPC_STATUS Insert(std::vector<ept_entry_in_t> &entries, long replace, error_status_t *status)
{
    InsertCall c = {Mapper(), (unsigned long)entries.size(), entries.data(), replace, 0};
    RPC_STATUS rc = RpcGuardCall([](void *p) {
        auto *c = static_cast<InsertCall *>(p);
        ept_insert(c->h, c->n, c->entries, c->replace, &c->status);
    }, &c);
    *status = c.status;
    RpcBindingFree(&c.h);
    return rc;
}

} // namespace

TEST(EndpointMapper, InsertThenLookupFindsTheElement)
{
    std::vector<ept_entry_in_t> e(1);
    std::memset(e.data(), 0, sizeof(ept_entry_in_t));
    e[0].tower = WireTower(TcpTower(kIface, 1, 0, 4242));
    std::strcpy((char *)e[0].annotation, "probe");
    error_status_t status = 99;
    EXPECT_EQ(Insert(e, 1, &status), RPC_S_OK);
    EXPECT_EQ(status, 0u);
}
