#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "rokin_routines.h"

namespace {

TEST(Dispatch, RefusedCommandsLeaveTheTableAlone)
{
    std::vector<ComponentSlot> before(ComponentHandleTable, ComponentHandleTable + ROKIN_TABLE_SLOTS);
    struct {
        uint32_t command, componentId;
    } cases[] = {{775, 301}, {512, 302}, {767, 303}, {773, 0}, {774, 0}};
    for (auto c : cases) {
        TestBlock b(c.command, 0x77, 1);
        b.Word(DMI_OFF_COMPONENT_ID) = c.componentId;
        EXPECT_EQ(DmiCiInvoke(b.get()), ROKIN_REFUSED) << c.command;
    }
    EXPECT_EQ(DmiCiInvoke(nullptr), ROKIN_REFUSED);
    EXPECT_EQ(0, std::memcmp(before.data(), ComponentHandleTable, sizeof ComponentHandleTable));
}

class DispatchOnComponent : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.Text("R", "a", "1").Text("R", "b", "2").Text("R", "c", "3");
        ASSERT_EQ(component.result, 0u) << "line " << component.errorLine;
        config = std::make_unique<RokinConfig>(component.id, std::vector<std::string>{tree.Root("R")});
    }

    RegistryTree tree{"SOFTWARE\\RokinDispatchTest"};
    InstalledComponent component{RegistryMif({tree.Root("R")})};
    std::unique_ptr<RokinConfig> config;
};

TEST_F(DispatchOnComponent, TheServiceLayerReadsRowsThroughTheRecordsRoutines)
{
    const uint32_t h1 = 0x6001;
    RowCommand first(h1, component.id, 3);
    ASSERT_EQ(DmiCiInvoke(first.get()), 0u);
    auto r1 = first.Result();
    ASSERT_TRUE(r1);
    EXPECT_EQ(*r1, (Row{tree.Root("R"), "a", 0}));
    auto all = ParseRowResponse(first.response, sizeof first.response);
    EXPECT_EQ(all[3].text, "1") << "registry type";
    EXPECT_EQ(all[5].text, std::string("1\0", 2));

    RowCommand next(h1, component.id, 3, &*r1);
    ASSERT_EQ(DmiCiInvoke(next.get()), 0u);
    EXPECT_EQ(next.Result(), (Row{tree.Root("R"), "b", 0}));

    RowCommand otherGroup(h1, component.id, 2);
    EXPECT_EQ(DmiCiInvoke(otherGroup.get()), DMIAPI_STATUS_NO_SUCH_ROW) << "rokindll serves group 3 only";
    RowCommand noComponent(h1, component.id + 1000, 3);
    EXPECT_EQ(DmiCiInvoke(noComponent.get()), DMIAPI_STATUS_NO_SUCH_COMPONENT);
}

TEST_F(DispatchOnComponent, EachManagementHandleHasItsOwnContext)
{
    const uint32_t h1 = 0x6101, h2 = 0x6102;
    RowKeys a({tree.Root("R"), "a", 0});
    auto valueText = [&](uint32_t handle) {
        UseHandle(component.id, handle);
        AttributeValue *v = RokinGetValue(component.id, 3, 5, 3, a.entries);
        return v ? Text(v) : "<none>";
    };
    EXPECT_EQ(valueText(h1), std::string("1\0", 2));
    tree.Text("R", "a", "changed");
    EXPECT_EQ(valueText(h2), std::string("changed\0", 8)) << "a new handle reads afresh";
    EXPECT_EQ(valueText(h1), std::string("1\0", 2)) << "the first handle keeps its cache";

    int slot = 0;
    while (ComponentHandleTable[slot].componentId != component.id)
        slot++;
    EXPECT_EQ(ComponentHandleTable[slot].handle, h1) << "the slot follows the latest handle";
    ComponentContext *c1 = FindContext(component.id);
    UseHandle(component.id, h2);
    ComponentContext *c2 = FindContext(component.id);
    EXPECT_NE(c1, c2);

    // Walk positions stay apart: each handle continues its own walk.
    RowCommand h1First(h1, component.id, 3), h2First(h2, component.id, 3);
    ASSERT_EQ(DmiCiInvoke(h1First.get()), 0u);
    ASSERT_EQ(DmiCiInvoke(h2First.get()), 0u);
    auto r1 = h1First.Result();
    ASSERT_TRUE(r1);
    RowCommand h1Next(h1, component.id, 3, &*r1);
    ASSERT_EQ(DmiCiInvoke(h1Next.get()), 0u);
    auto r2 = h1Next.Result();
    ASSERT_TRUE(r2);
    RowCommand h1Third(h1, component.id, 3, &*r2), h2Next(h2, component.id, 3, &*r1);
    ASSERT_EQ(DmiCiInvoke(h1Third.get()), 0u);
    ASSERT_EQ(DmiCiInvoke(h2Next.get()), 0u);
    EXPECT_EQ(h1Third.Result()->name, "c");
    EXPECT_EQ(h2Next.Result()->name, "b");
    EXPECT_EQ(std::string(c1->nextValue), "c");
    EXPECT_EQ(std::string(c2->nextValue), "b");

    // Cancel marks every context; a command clears the flag of its own.
    EXPECT_EQ(DmiCiCancel(), 0u);
    EXPECT_EQ(c1->record.cancelFlag, 1u);
    EXPECT_EQ(c2->record.cancelFlag, 1u);
    RowCommand again(h1, component.id, 3);
    EXPECT_EQ(DmiCiInvoke(again.get()), 0u);
    EXPECT_EQ(c1->record.cancelFlag, 0u);
    EXPECT_EQ(c2->record.cancelFlag, 1u);
}

TEST_F(DispatchOnComponent, RoutinesThreeToFiveAnswerFixedResultsAndTouchNothing)
{
    UseHandle(component.id, 0x6201);
    ComponentContext *ctx = FindContext(component.id);
    ASSERT_TRUE(ctx);
    auto before = std::make_unique<ComponentContext>(*ctx);
    RowKeys a({tree.Root("R"), "a", 0});
    InstrumentationRecord &record = ctx->record;
    EXPECT_EQ(record.routine3(component.id, 3, 5, 3, a.entries, 7), 1u);
    EXPECT_EQ(record.routine4(component.id, 3, 5, 3, a.entries, 7), 1u);
    EXPECT_EQ(record.routine5(component.id, 3, 5, 3, a.entries, 7), 0u);
    EXPECT_EQ(0, std::memcmp(before.get(), ctx, sizeof *ctx));
    EXPECT_EQ(Text(RokinGetValue(component.id, 3, 5, 3, a.entries)), std::string("1\0", 2)) << "registry unchanged";

    EXPECT_EQ(record.valueArea, ctx->resultArea);
    EXPECT_EQ(record.valueAreaCount, 3u);
    EXPECT_EQ(record.getValue, RokinGetValue);
    EXPECT_EQ(record.getNextValue, RokinGetNextValue);
}

TEST_F(DispatchOnComponent, RequestsOutsideGroupThreeOrWithTooFewKeysHaveNoValue)
{
    UseHandle(component.id, 0x6301);
    RowKeys a({tree.Root("R"), "a", 0});
    EXPECT_EQ(RokinGetValue(component.id, 2, 1, 0, nullptr), nullptr);
    EXPECT_EQ(RokinGetValue(component.id, 3, 1, 1, a.entries), nullptr);
    EXPECT_EQ(RokinGetValue(component.id, 3, 1, 2, a.entries), nullptr);
    EXPECT_EQ(RokinGetNextValue(component.id, 3, 1, 0, nullptr), nullptr);
    EXPECT_EQ(RokinGetNextValue(component.id, 2, 1, 3, a.entries), nullptr) << "moves the walk, gives nothing";
    EXPECT_NE(RokinGetValue(component.id, 3, 1, 0, nullptr), nullptr);
    UseHandle(component.id + 5000, 0x6301);
    EXPECT_EQ(RokinGetValue(component.id + 5001, 3, 1, 0, nullptr), nullptr) << "a component without a slot";
}

// Runs as a test of its own (a fresh process): it fills the whole table.
TEST(ComponentTable, HoldsTwoHundredFiftySixComponents)
{
    EXPECT_EQ(DmiCiCancel(), 0u) << "no context yet";
    uint32_t accepted = 0;
    for (uint32_t id = 1; id <= 256; id++) {
        TestBlock b(768, 0x7000 + id, 1);
        b.Word(DMI_OFF_COMPONENT_ID) = id;
        accepted += DmiCiInvoke(b.get()) != ROKIN_REFUSED;
    }
    EXPECT_EQ(accepted, 256u);
    TestBlock extra(768, 0x7999, 1);
    extra.Word(DMI_OFF_COMPONENT_ID) = 257;
    EXPECT_EQ(DmiCiInvoke(extra.get()), ROKIN_REFUSED);
    TestBlock known(768, 0x7999, 1);
    known.Word(DMI_OFF_COMPONENT_ID) = 200;
    EXPECT_NE(DmiCiInvoke(known.get()), ROKIN_REFUSED);
    EXPECT_EQ(ComponentHandleTable[199].handle, 0x7999u);
}

TEST(ComponentTable, TheLibraryExportsItsEntriesByOrdinal)
{
    HMODULE dll = LoadLibraryA("ROKINDLL.dll");
    ASSERT_TRUE(dll);
    auto invoke = reinterpret_cast<DmiCiInvokeFn>(GetProcAddress(dll, MAKEINTRESOURCEA(2)));
    auto cancel = reinterpret_cast<DmiCiCancelFn>(GetProcAddress(dll, MAKEINTRESOURCEA(3)));
    EXPECT_EQ(reinterpret_cast<FARPROC>(invoke), GetProcAddress(dll, "DmiCiInvoke"));
    EXPECT_EQ(reinterpret_cast<FARPROC>(cancel), GetProcAddress(dll, "DmiCiCancel"));
    ASSERT_TRUE(invoke && cancel);
    TestBlock b(775, 1, 1);
    b.Word(DMI_OFF_COMPONENT_ID) = 5;
    EXPECT_EQ(invoke(b.get()), ROKIN_REFUSED);
    EXPECT_EQ(cancel(), 0u);
    FreeLibrary(dll);
}

} // namespace
