#include <gtest/gtest.h>

#include "rokin_routines.h"
#include "row_walk.h"

namespace {

constexpr uint32_t kHandle = 0x5001;

// Two small trees: A has values and nested subkeys, B one value; Empty has keys only.
class RowWalk : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree.Text("A", "a1", "x").Text("A", "a2", "y");
        tree.Key("A\\Empty");
        tree.Text("A\\K1", "k1", "z").Number("A\\K1\\Deep", "d", 1);
        tree.Number("A\\K2", "k2", 2);
        tree.Text("B", "b", "w");
        tree.Key("Empty\\Below");
    }

    std::vector<Row> Walk(uint32_t componentId, const std::vector<std::string> &roots)
    {
        RokinConfig config(componentId, roots);
        UseHandle(componentId, kHandle);
        return WalkRows(componentId);
    }

    std::vector<Row> Plain(const std::string &sub)
    {
        std::vector<Row> rows;
        PlainWalk(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", tree.Path(sub), rows);
        return rows;
    }

    RegistryTree tree{"SOFTWARE\\RokinWalkTest"};
};

TEST_F(RowWalk, ValuesOfAKeyComeBeforeItsSubkeysInRegistryOrder)
{
    std::string a = tree.Root("A");
    std::vector<Row> expected = {
        {a, "a1", 0}, {a, "a2", 0}, {a + "\\K1", "k1", 0}, {a + "\\K1\\Deep", "d", 0}, {a + "\\K2", "k2", 0}};
    EXPECT_EQ(Walk(101, {a}), expected);
    EXPECT_EQ(Plain("A"), expected) << "the registry enumerates as the fixture expects";
}

TEST_F(RowWalk, RootsFollowOneAnotherAndHiveSpellingsDecide)
{
    std::string a = tree.Root("A"), b = tree.Root("B");
    std::vector<Row> both = Plain("A");
    for (const Row &r : Plain("B"))
        both.push_back(r);
    std::string slashAfterHive = "HKEY_LOCAL_MACHINE/" + tree.Path("A");
    std::string slashLater = tree.Root() + "/A";

    struct Case {
        const char *what;
        std::vector<std::string> roots;
        std::vector<Row> rows;
    } cases[] = {
        {"two roots", {a, b}, both},
        {"slash after the hive", {slashAfterHive}, Plain("A")},
        {"slash later names another key", {slashLater}, {}},
        {"lower-case hive", {"hkey_local_machine\\" + tree.Path("A")}, {}},
        {"abbreviated hive", {"HKLM\\" + tree.Path("A")}, {}},
        {"gap hides later roots", {a, "", b}, Plain("A")},
        {"empty first root", {tree.Root("Empty"), b}, {}},
        {"missing first root", {tree.Root("Missing"), b}, {}},
        {"empty second root is passed over", {b, tree.Root("Empty"), a}, {}},
    };
    cases[8].rows = Plain("B");
    for (const Row &r : Plain("A"))
        cases[8].rows.push_back(r);
    uint32_t id = 110;
    for (const Case &c : cases)
        EXPECT_EQ(Walk(id++, c.roots), c.rows) << c.what;
}

TEST_F(RowWalk, AComponentWithoutConfigurationHasNoRows)
{
    RokinConfig other(121, {tree.Root("A")});
    UseHandle(122, kHandle);
    EXPECT_FALSE(FirstRow(122));
}

TEST_F(RowWalk, MultiStringValuesGiveOneRowPerStringUpToAnEmptyOne)
{
    const char twoThenEmpty[] = "one\0two\0\0three\0"; // the array adds the final zero
    tree.Set("M", "m", REG_MULTI_SZ, twoThenEmpty, sizeof twoThenEmpty);
    tree.Set("M", "n", REG_MULTI_SZ, "\0", 2);
    tree.Set("M", "o", REG_MULTI_SZ, "", 0);
    std::string m = tree.Root("M");
    std::vector<Row> expected = {{m, "m", 0}, {m, "m", 1}, {m, "n", 0}, {m, "o", 0}};
    EXPECT_EQ(Walk(130, {m}), expected);
}

TEST_F(RowWalk, AfterTheLastRowThereIsNoneAndTheNextFirstRowStartsFromKey1)
{
    RokinConfig config(140, {tree.Root("A"), tree.Root("B")});
    UseHandle(140, kHandle);
    std::vector<Row> rows = WalkRows(140);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows.back().path, tree.Root("B"));
    EXPECT_FALSE(NextRow(140, rows.back())) << "asked again";
    auto first = FirstRow(140);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, rows.front());
}

TEST_F(RowWalk, KeysWhosePathsWouldNotFitAreSkippedWithTheirSubtrees)
{
    // The full key path of a key list holds at most 252 characters.
    std::string base = tree.Path("L");
    std::string longName(252 - (19 + base.size() + 1) + 1, 'n');
    tree.Text("L", "first", "1").Text("L\\" + longName, "hidden", "2").Text("L\\z", "last", "3");
    std::string l = tree.Root("L");
    std::vector<Row> expected = {{l, "first", 0}, {l + "\\z", "last", 0}};
    EXPECT_EQ(Walk(150, {l}), expected);
}

TEST(KeyPath, SplitAndJoin)
{
    char sub[ROKIN_TEXT_SIZE];
    struct {
        const char *text;
        uint32_t hive;
        const char *sub;
    } cases[] = {
        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\X", 0x80000002u, "SOFTWARE\\X"},
        {"HKEY_CURRENT_USER/SOFTWARE/X", 0x80000001u, "SOFTWARE/X"},
        {"HKEY_USERS", 0x80000003u, ""},
        {"\\HKEY_DYN_DATA\\A", 0x80000006u, "HKEY_DYN_DATA\\A"},
        {"Hkey_Users\\A", 0, "A"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(SplitKeyPath(c.text, sub), c.hive) << c.text;
        EXPECT_STREQ(sub, c.sub) << c.text;
    }
    uint32_t length;
    EXPECT_STREQ(JoinKeyPath(0x80000005u, "A\\B", &length), "HKEY_CURRENT_CONFIG\\A\\B");
    EXPECT_EQ(length, 23u);
    EXPECT_EQ(JoinKeyPath(0, "A", &length), nullptr);
}

} // namespace
