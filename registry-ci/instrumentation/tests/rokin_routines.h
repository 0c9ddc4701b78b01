// Reads rows through the instrumentation's access routines, as the service layer does.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "row_command.h"
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
