#include "ept_tower.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FLOOR_UUID 0x0d
#define MAX_FLOORS 16

typedef struct Floor {
    const unsigned char *lhs, *rhs;
    unsigned lhsLength, rhsLength;
} Floor;

static unsigned Read16(const unsigned char *p)
{
    return p[0] | (p[1] << 8);
}

static int ReadUuidFloor(const Floor *f, UUID *uuid, unsigned short *major, unsigned short *minor)
{
    if (f->lhsLength != 19 || f->lhs[0] != FLOOR_UUID || f->rhsLength != 2)
        return 0;
    memcpy(uuid, f->lhs + 1, sizeof *uuid);
    *major = (unsigned short)Read16(f->lhs + 17);
    *minor = (unsigned short)Read16(f->rhs);
    return 1;
}

/* A text floor: characters up to a terminator that must lie inside it. */
static int ReadText(const Floor *f, char *out)
{
    const unsigned char *end = memchr(f->rhs, 0, f->rhsLength);
    size_t n = end ? (size_t)(end - f->rhs) : 0;

    if (!end || n >= EPT_TOWER_TEXT)
        return 0;
    memcpy(out, f->rhs, n);
    out[n] = 0;
    return 1;
}

/* Protocol sequences and their floors: RPC protocol, transport, host (0: none). */
static const struct ProtseqFloors {
    unsigned char protocol, transport, host;
    const char *name;
} protseqs[] = {
    {0x0b, 0x07, 0x09, "ncacn_ip_tcp"},
    {0x0a, 0x08, 0x09, "ncadg_ip_udp"},
    {0x0b, 0x0f, 0x11, "ncacn_np"},
    {0x0c, 0x10, 0x00, "ncalrpc"},
};

static const char *ProtseqName(unsigned char protocol, unsigned char transport)
{
    for (size_t i = 0; i < sizeof protseqs / sizeof protseqs[0]; i++)
        if (protseqs[i].protocol == protocol && protseqs[i].transport == transport)
            return protseqs[i].name;
    return NULL;
}

static const UUID ndrSyntax = {
    0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}};

typedef struct TowerWriter {
    unsigned char *out;
    unsigned long size, at;
    int overflow;
} TowerWriter;

static void Put(TowerWriter *w, const void *bytes, unsigned long n)
{
    if (w->overflow || w->size - w->at < n) {
        w->overflow = 1;
        return;
    }
    memcpy(w->out + w->at, bytes, n);
    w->at += n;
}

static void Put16(TowerWriter *w, unsigned v)
{
    unsigned char b[2] = {v & 0xFF, (v >> 8) & 0xFF};
    Put(w, b, 2);
}

static void PutFloor(TowerWriter *w, const void *lhs, unsigned lhsLength, const void *rhs,
                     unsigned rhsLength)
{
    Put16(w, lhsLength);
    Put(w, lhs, lhsLength);
    Put16(w, rhsLength);
    Put(w, rhs, rhsLength);
}

static void PutUuidFloor(TowerWriter *w, const UUID *uuid, unsigned short major,
                         unsigned short minor)
{
    unsigned char lhs[19], rhs[2] = {minor & 0xFF, minor >> 8};
    lhs[0] = FLOOR_UUID;
    memcpy(lhs + 1, uuid, 16);
    lhs[17] = major & 0xFF;
    lhs[18] = major >> 8;
    PutFloor(w, lhs, sizeof lhs, rhs, sizeof rhs);
}

unsigned long EptTowerBuild(const RPC_SYNTAX_IDENTIFIER *iface, const char *protseq,
                            const char *endpoint, const char *address, unsigned char *out,
                            unsigned long size)
{
    const struct ProtseqFloors *p = NULL;
    TowerWriter w = {out, size, 0, 0};
    static const unsigned char zero[2];

    for (size_t i = 0; i < sizeof protseqs / sizeof protseqs[0]; i++)
        if (lstrcmpiA(protseq, protseqs[i].name) == 0)
            p = &protseqs[i];
    if (!p)
        return 0;

    Put16(&w, p->host ? 5 : 4);
    PutUuidFloor(&w, &iface->SyntaxGUID, iface->SyntaxVersion.MajorVersion,
                 iface->SyntaxVersion.MinorVersion);
    PutUuidFloor(&w, &ndrSyntax, 2, 0);
    PutFloor(&w, &p->protocol, 1, zero, 2);
    if (p->host == 0x09) {
        unsigned port = (unsigned)strtoul(endpoint, NULL, 10);
        unsigned char portBytes[2] = {port >> 8, port & 0xFF}, ip[4] = {0};
        unsigned a, b, c, d;
        if (sscanf(address, "%u.%u.%u.%u", &a, &b, &c, &d) == 4 && a < 256 && b < 256 &&
            c < 256 && d < 256) {
            ip[0] = a, ip[1] = b, ip[2] = c, ip[3] = d;
        }
        PutFloor(&w, &p->transport, 1, portBytes, 2);
        PutFloor(&w, &p->host, 1, ip, 4);
    } else {
        PutFloor(&w, &p->transport, 1, endpoint, strlen(endpoint) + 1);
        if (p->host)
            PutFloor(&w, &p->host, 1, address, strlen(address) + 1);
    }
    return w.overflow ? 0 : w.at;
}

int EptTowerParse(const unsigned char *octets, unsigned long length, EptTowerInfo *info)
{
    Floor floors[MAX_FLOORS];
    unsigned count, at = 2;

    memset(info, 0, sizeof *info);
    if (!octets || length < 2)
        return 0;
    count = Read16(octets);
    if (count < 3 || count > MAX_FLOORS)
        return 0;
    for (unsigned i = 0; i < count; i++) {
        Floor *f = &floors[i];
        /* Local towers of some run times claim one floor more than they
           carry; the floors present are read as they are. */
        if (length == at && i >= 3) {
            count = i;
            break;
        }
        if (length - at < 2)
            return 0;
        f->lhsLength = Read16(octets + at);
        at += 2;
        if (f->lhsLength < 1 || length - at < f->lhsLength)
            return 0;
        f->lhs = octets + at;
        at += f->lhsLength;
        if (length - at < 2)
            return 0;
        f->rhsLength = Read16(octets + at);
        at += 2;
        if (length - at < f->rhsLength)
            return 0;
        f->rhs = octets + at;
        at += f->rhsLength;
    }

    if (!ReadUuidFloor(&floors[0], &info->ifUuid, &info->ifMajor, &info->ifMinor) ||
        !ReadUuidFloor(&floors[1], &info->syntaxUuid, &info->syntaxMajor, &info->syntaxMinor))
        return 0;
    info->protocolId = floors[2].lhs[0];
    if (count < 4)
        return 1;

    const Floor *ep = &floors[3];
    info->endpointId = ep->lhs[0];
    switch (info->endpointId) {
    case 0x07: /* TCP port */
    case 0x08: /* UDP port */
        if (ep->rhsLength != 2)
            return 0;
        snprintf(info->endpoint, sizeof info->endpoint, "%u", (ep->rhs[0] << 8) | ep->rhs[1]);
        break;
    default: /* pipe or local endpoint name */
        if (ep->rhsLength && !ReadText(ep, info->endpoint))
            return 0;
        break;
    }
    info->protseq = ProtseqName(info->protocolId, info->endpointId);

    if (count >= 5) {
        const Floor *host = &floors[4];
        if (host->lhs[0] == 0x09) { /* IPv4 address */
            if (host->rhsLength != 4)
                return 0;
            if (host->rhs[0] | host->rhs[1] | host->rhs[2] | host->rhs[3])
                snprintf(info->address, sizeof info->address, "%u.%u.%u.%u",
                         host->rhs[0], host->rhs[1], host->rhs[2], host->rhs[3]);
        } else if (host->rhsLength && !ReadText(host, info->address)) {
            return 0;
        }
    }
    return 1;
}

int EptTowerSameEndpoint(const EptTowerInfo *a, const EptTowerInfo *b)
{
    return IsEqualGUID(&a->ifUuid, &b->ifUuid) && a->ifMajor == b->ifMajor &&
           a->ifMinor == b->ifMinor && IsEqualGUID(&a->syntaxUuid, &b->syntaxUuid) &&
           a->syntaxMajor == b->syntaxMajor && a->protocolId == b->protocolId &&
           a->endpointId == b->endpointId && lstrcmpiA(a->endpoint, b->endpoint) == 0;
}
