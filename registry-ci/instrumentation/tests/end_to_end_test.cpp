// The whole path: a management application lists the rows of the registry
// instrumentation's group 3 through the service layer, which hands the commands to
// ROKINDLL.dll, which calls the service layer's instrumentation entry back.
#include <gtest/gtest.h>

#include <memory>

#include "row_command.h"

namespace {

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char multi[] = "first\0second\0";
        tree.Number("One", "count", 3).Text("One", "name", "one");
        tree.Set("One\\Sub", "list", REG_MULTI_SZ, multi, sizeof multi);
        tree.Text("One\\Sub\\Deeper", "leaf", "x").Key("One\\Empty");
        tree.Set("Two", "bytes", REG_BINARY, "\x01\x02", 2).Text("Two\\Z", "z", "last");
        g_confirmations.Reset();
        handle = RegisterAndWait(DmiInvoke);
        ASSERT_NE(handle, 0u);
    }
    void TearDown() override { UnregisterAndWait(DmiInvoke, handle); }

    uint32_t Run(RowCommand &c)
    {
        size_t before = g_confirmations.Count();
        uint32_t result = DmiInvoke(c.get());
        if (result)
            return result;
        EXPECT_TRUE(g_confirmations.WaitFor(before + 1));
        return c.get()->completionStatus;
    }

    // The configured roots, read from group 2 as the setup program reads them.
    std::vector<std::string> KeyPaths(uint32_t componentId)
    {
        std::vector<std::string> paths;
        RowCommand first(handle, componentId, 2);
        if (Run(first) != 0)
            return paths;
        paths.push_back(ParseRowResponse(first.response, sizeof first.response)[1].text);
        for (;;) {
            RowCommand next(handle, componentId, 2);
            next.get()->command = DMI_CMD_GET_NEXT_ROW;
            std::string key = paths.back();
            uint32_t v = 500 - ((uint32_t(key.size()) + 6 + 3) & ~3u);
            DmiStringPut(next.bytes, sizeof next.bytes, v, key.data(), uint32_t(key.size()));
            next.Word(0x48) = 1;
            next.Word(0x4C) = 500;
            next.Word(500) = 1;
            next.Word(504) = DMI_TYPE_STRING;
            next.Word(508) = v;
            if (Run(next) != 0)
                break;
            paths.push_back(ParseRowResponse(next.response, sizeof next.response)[1].text);
        }
        return paths;
    }

    RegistryTree tree{"SOFTWARE\\RokinEndToEnd"};
    uint32_t handle = 0;
};

TEST_F(EndToEnd, AComponentWithTwoRootsIsListedRowByRowThroughTheServiceLayer)
{
    std::vector<std::string> roots = {tree.Root("One"), tree.Root("Two")};
    InstalledComponent component(RegistryMif(roots));
    ASSERT_EQ(component.result, 0u);
    ASSERT_EQ(KeyPaths(component.id), roots);
    RokinConfig config(component.id, KeyPaths(component.id));

    std::vector<Row> expected;
    PlainWalk(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", tree.Path("One"), expected);
    PlainWalk(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", tree.Path("Two"), expected);
    ASSERT_EQ(expected.size(), 7u);

    std::vector<Row> rows;
    std::vector<std::string> texts;
    auto command = std::make_unique<RowCommand>(handle, component.id, 3);
    uint32_t status;
    while ((status = Run(*command)) == 0 && rows.size() < 100) {
        auto row = command->Result();
        ASSERT_TRUE(row);
        rows.push_back(*row);
        texts.push_back(ParseRowResponse(command->response, sizeof command->response)[5].text);
        command = std::make_unique<RowCommand>(handle, component.id, 3, &rows.back());
    }
    EXPECT_EQ(status, DMIAPI_STATUS_NO_SUCH_ROW);
    EXPECT_EQ(command->get()->returnedCount, 0u);
    EXPECT_EQ(rows, expected);
    std::vector<std::string> expectedTexts = {"3", std::string("one\0", 4), "first", "second", std::string("x\0", 2),
                                              "01 02 ", std::string("last\0", 5)};
    EXPECT_EQ(texts, expectedTexts);

    RowCommand again(handle, component.id, 3);
    ASSERT_EQ(Run(again), 0u);
    EXPECT_EQ(*reinterpret_cast<uint32_t *>(again.response + 0x10), 0xBu) << "attributes 1, 2 and 4 are the keys";
    EXPECT_EQ(again.Result(), expected.front()) << "a new listing starts from the first root";
}

} // namespace
