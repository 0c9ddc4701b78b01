// Reads rows through the instrumentation's access routines, as the service layer does.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "dmi_test_support.h"
#include "registry_fixture.h"
#include "request_dispatch.h"

// Points the component at a management handle, as any command on that handle does.
inline void UseHandle(uint32_t componentId, uint32_t handle)
{
    TestBlock b(768, handle, 1);
    b.Word(DMI_OFF_COMPONENT_ID) = componentId;
    DmiCiInvoke(b.get());
}

inline std::string Text(const AttributeValue *v)
{
    auto p = static_cast<const uint32_t *>(v->value);
    return std::string(reinterpret_cast<const char *>(p + 1), p[0]);
}

// The row the key-path attribute's request lands on; the other key attributes
// come from the same request.
template <class Get> std::optional<Row> ReadRow(Get get)
{
    AttributeValue *v = get(1);
    if (!v)
        return std::nullopt;
    Row r{Text(v), "", 0};
    if (!(v = get(2)))
        return std::nullopt;
    r.name = Text(v);
    if (!(v = get(4)))
        return std::nullopt;
    r.item = *static_cast<uint32_t *>(v->value);
    return r;
}

inline std::optional<Row> FirstRow(uint32_t componentId)
{
    return ReadRow([&](uint32_t a) { return RokinGetValue(componentId, 3, a, 0, nullptr); });
}

inline std::optional<Row> NextRow(uint32_t componentId, const Row &row)
{
    RowKeys keys(row);
    return ReadRow([&](uint32_t a) { return RokinGetNextValue(componentId, 3, a, 3, keys.entries); });
}

// Every row from the first until there is no next one.
inline std::vector<Row> WalkRows(uint32_t componentId, size_t limit = 100000)
{
    std::vector<Row> rows;
    for (auto r = FirstRow(componentId); r && rows.size() < limit; r = NextRow(componentId, *r))
        rows.push_back(*r);
    return rows;
}

// A 773 or 774 block on group `group` with its response buffer; a 774 names the row
// `after` by its three key attributes, laid out inside the block.
struct RowCommand {
    alignas(4) unsigned char bytes[512] = {};
    alignas(4) unsigned char response[4096] = {};

    DmiCommandBlock *get() { return reinterpret_cast<DmiCommandBlock *>(bytes); }
    uint32_t &Word(uint32_t offset) { return *reinterpret_cast<uint32_t *>(bytes + offset); }

    RowCommand(uint32_t handle, uint32_t componentId, uint32_t group, const Row *after = nullptr)
    {
        DmiCommandBlock *b = get();
        b->signature = DMI_SIGNATURE;
        b->command = after ? DMI_CMD_GET_NEXT_ROW : DMI_CMD_GET_FIRST_ROW;
        b->blockLength = sizeof bytes;
        b->handle = handle;
        b->context = 1;
        b->reserved24 = 1;
        b->responseSize = sizeof response;
        b->response = response;
        Word(0x40) = componentId;
        Word(0x44) = group;
        if (!after)
            return;
        Word(0x48) = 3;
        Word(0x4C) = 0x60;
        uint32_t at = 0x90;
        const std::string *texts[2] = {&after->path, &after->name};
        for (uint32_t i = 0; i < 3; i++) {
            Word(0x60 + 12 * i) = i == 2 ? 4 : i + 1;
            Word(0x60 + 12 * i + 4) = i == 2 ? 1 : 8;
            Word(0x60 + 12 * i + 8) = at;
            if (i < 2)
                at = DmiStringPut(bytes, sizeof bytes, at, texts[i]->data(), uint32_t(texts[i]->size()));
            else
                Word(at) = after->item;
        }
    }

    // The row the response holds, if the command produced one.
    std::optional<Row> Result()
    {
        auto row = ParseRowResponse(response, sizeof response);
        if (get()->returnedCount != 1 || row.count(1) == 0 || row.count(2) == 0 || row.count(4) == 0)
            return std::nullopt;
        return Row{row[1].text, row[2].text, row[4].number};
    }
};
