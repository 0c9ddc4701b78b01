// dmiconsole as an operator runs it, against components installed in the
// service layer's database.
#include <gtest/gtest.h>

#include <string>

#include "dmiapi.h"
#include "run_program.h"

namespace {

// A component installed for the life of the test.
struct InstalledComponent {
    uint32_t id = 0;
    explicit InstalledComponent(const std::string &description)
    {
        uint32_t errorLine = 0;
        EXPECT_EQ(DmiInstall(DMIAPI_INSTALL_COMPONENT, (uint32_t)description.data(), (uint32_t)description.size(),
                             (uint32_t)&id, (uint32_t)&errorLine),
                  0u)
            << "line " << errorLine;
    }
    ~InstalledComponent() { DmiInstall(DMIAPI_REMOVE_COMPONENT, id, 0, 0, 0); }
};

const char kInventory[] = "component \"Spare parts\"\n"
                          "group 2 \"ACME|Inventory|1.0\"\n"
                          "attribute 1 string key\n"
                          "attribute 2 integer key\n"
                          "attribute 3 string\n"
                          "row \"bolt\" 1 \"steel\"\n"
                          "row \"bolt\" 2 \"brass\"\n"
                          "row \"nut\" 1 \"\"\n";

TEST(Console, ListsComponentsByClassAndPrintsEveryRowInOrder)
{
    InstalledComponent parts(kInventory);
    InstalledComponent other("component \"Other\"\ngroup 2 \"ACME|Other|1.0\"\nattribute 1 string key\n");
    std::string id = std::to_string(parts.id);

    ProgramRun list = RunProgram("dmiconsole.exe -l \"ACME|Inventory|1.0\"");
    EXPECT_EQ(list.exitCode, 0u) << list.output;
    EXPECT_NE(list.output.find("component " + id + "  group 2  \"Spare parts\"\n1 component(s)"), std::string::npos)
        << list.output;
    EXPECT_EQ(list.output.find("\"Other\""), std::string::npos) << "another class is not listed";

    ProgramRun all = RunProgram("dmiconsole.exe -l");
    EXPECT_NE(all.output.find("\"Other\""), std::string::npos) << all.output;

    ProgramRun rows = RunProgram("dmiconsole.exe -r " + id + " -g 2");
    EXPECT_EQ(rows.exitCode, 0u) << rows.output;
    EXPECT_NE(rows.output.find("rows of component " + id + ", group 2:\n"
                               "  \"bolt\" 1 \"steel\"\n"
                               "  \"bolt\" 2 \"brass\"\n"
                               "  \"nut\" 1 \"\"\n"
                               "3 row(s)"),
              std::string::npos)
        << rows.output;

    ProgramRun none = RunProgram("dmiconsole.exe -r " + id + " -g 9");
    EXPECT_EQ(none.exitCode, 0u);
    EXPECT_NE(none.output.find("0 row(s)"), std::string::npos) << none.output;
}

TEST(Console, UsageErrors)
{
    for (const char *args : {"-x", "-r", "-r nine", "-g 2 -c"}) {
        ProgramRun run = RunProgram(std::string("dmiconsole.exe ") + args);
        EXPECT_EQ(run.exitCode, 2u) << args;
        EXPECT_NE(run.output.find("usage: dmiconsole"), std::string::npos) << args;
    }
}

} // namespace
