// Row commands (773, 774) as a management application builds them.
#pragma once

#include <optional>
#include <string>

#include "dmi_test_support.h"
#include "registry_fixture.h"

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
