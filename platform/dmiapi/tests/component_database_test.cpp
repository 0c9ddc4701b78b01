#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "dmi_instrumentation.h"
#include "dmi_string.h"
#include "dmi_test_support.h"

using namespace std::chrono_literals;

namespace {

const char *const kKeyListClass = "ORVANE|Registry Key List|1.0";

const std::string kWidget = "# a component with two static groups\n"
                            "component \"Test widget\"\n"
                            "group 2 \"ORVANE|Registry Key List|1.0\"\n"
                            "attribute 1 string key\n"
                            "row \"HKEY_LOCAL_MACHINE\\SOFTWARE\\One\"\n"
                            "row \"HKEY_LOCAL_MACHINE\\SOFTWARE\\Two\"\n"
                            "\n"
                            "group 5 \"TEST|Numbers|1.0\"\n"
                            "attribute 1 integer key\n"
                            "attribute 2 string\n"
                            "row 7 \"seven\"\n"
                            "row 8 \"eight\"\n";

// A 512-byte block on the test's registration, and a response buffer whose bytes
// past responseSize must stay untouched.
struct Command {
    alignas(4) unsigned char bytes[512] = {};
    alignas(4) unsigned char response[2048 + 64];

    Command(uint32_t command, uint32_t handle, uint32_t responseSize = 2048)
    {
        std::memset(response, 0xCC, sizeof response);
        DmiCommandBlock *b = get();
        b->signature = DMI_SIGNATURE;
        b->command = command;
        b->blockLength = sizeof bytes;
        b->handle = handle;
        b->context = 1;
        b->reserved24 = 1;
        b->responseSize = responseSize;
        b->response = response;
    }
    DmiCommandBlock *get() { return reinterpret_cast<DmiCommandBlock *>(bytes); }
    uint32_t &Word(uint32_t offset) { return *reinterpret_cast<uint32_t *>(bytes + offset); }
    uint32_t ResponseWord(uint32_t offset) { return *reinterpret_cast<uint32_t *>(response + offset); }
    std::string ResponseString(uint32_t offset)
    {
        const char *text;
        uint32_t length;
        return DmiStringGet(response, get()->responseSize, offset, &text, &length) ? std::string(text, length)
                                                                                    : "<none>";
    }
    bool UntouchedFrom(uint32_t offset)
    {
        for (uint32_t i = offset; i < sizeof response; i++)
            if (response[i] != 0xCC)
                return false;
        return true;
    }
    // The class string of a 513 block, as the setup program places it.
    void Class(const std::string &name)
    {
        Word(DMI_OFF_CLASS_STRING) = 0x50;
        DmiStringPut(bytes, sizeof bytes, 0x50, name.data(), uint32_t(name.size()));
    }
    void Rows(uint32_t componentId, uint32_t group)
    {
        Word(0x40) = componentId;
        Word(0x44) = group;
    }
    // One key, built downward from the end of the block as the setup program does.
    void Key(uint32_t attribute, const std::string &text)
    {
        uint32_t v = 500 - ((uint32_t(text.size()) + 6 + 3) & ~3u);
        DmiStringPut(bytes, sizeof bytes, v, text.data(), uint32_t(text.size()));
        Word(0x48) = 1;
        Word(0x4C) = 500;
        Word(500) = attribute;
        Word(504) = DMI_TYPE_STRING;
        Word(508) = v;
    }
    void Key(uint32_t attribute, uint32_t number)
    {
        Word(0x48) = 1;
        Word(0x4C) = 500;
        Word(500) = attribute;
        Word(504) = DMI_TYPE_COUNTER;
        Word(508) = 496;
        Word(496) = number;
    }
};

class Components : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_confirmations.Reset();
        handle = RegisterAndWait(DmiInvoke);
        ASSERT_NE(handle, 0u);
    }
    void TearDown() override { UnregisterAndWait(DmiInvoke, handle); }

    // The command's completion status; a refusal is returned as it is, marked.
    uint32_t Run(Command &c)
    {
        size_t before = g_confirmations.Count();
        uint32_t result = DmiInvoke(c.get());
        if (result)
            return 0x80000000u | result;
        EXPECT_TRUE(g_confirmations.WaitFor(before + 1));
        return c.get()->completionStatus;
    }

    // Components of the 513 response: id -> (group id, name).
    std::map<uint32_t, std::pair<uint32_t, std::string>> List(const std::string &className)
    {
        Command c(DMI_CMD_LIST_COMPONENTS, handle);
        c.Class(className);
        EXPECT_EQ(Run(c), 0u);
        std::map<uint32_t, std::pair<uint32_t, std::string>> found;
        for (uint32_t i = 0; i < c.get()->returnedCount; i++) {
            uint32_t at = i * DMIAPI_COMPONENT_ENTRY_SIZE;
            found[c.ResponseWord(at)] = {c.ResponseWord(at + 4), c.ResponseString(c.ResponseWord(at + 8))};
        }
        return found;
    }

    uint32_t handle = 0;
};

constexpr uint32_t kRefused = 0x80000000u;

TEST_F(Components, InstalledComponentsAreListedByClassUntilRemoved)
{
    InstalledComponent widget(kWidget);
    ASSERT_EQ(widget.result, 0u) << "line " << widget.errorLine;
    InstalledComponent plain("component \"Plain\"\ngroup 1 \"OTHER|Class|1.0\"\nattribute 1 integer\n");
    ASSERT_EQ(plain.result, 0u);
    EXPECT_GT(plain.id, widget.id);

    auto byClass = List(kKeyListClass);
    ASSERT_EQ(byClass.count(widget.id), 1u);
    EXPECT_EQ(byClass[widget.id], std::make_pair(2u, std::string("Test widget")));
    EXPECT_EQ(byClass.count(plain.id), 0u);
    auto every = List("");
    EXPECT_EQ(every.count(widget.id), 1u);
    EXPECT_EQ(every[plain.id], std::make_pair(0u, std::string("Plain")));

    EXPECT_EQ(DmiInstall(DMIAPI_REMOVE_COMPONENT, widget.id, 0, 0, 0), 0u);
    EXPECT_EQ(List(kKeyListClass).count(widget.id), 0u);
    EXPECT_EQ(DmiInstall(DMIAPI_REMOVE_COMPONENT, widget.id, 0, 0, 0), (uint32_t)DMIAPI_ERR_NO_SUCH_COMPONENT);
    widget.id = 0;
}

TEST(ComponentDescriptions, MalformedOnesAreRefusedWithTheirLine)
{
    struct {
        const char *text;
        uint32_t line;
    } cases[] = {
        {"group 2 \"X\"\n", 1},
        {"component \"A\"\ngroup 0 \"X\"\n", 2},
        {"component \"A\"\nattribute 1 string\n", 2},
        {"component \"A\"\ngroup 2 \"X\"\nrow \"a\"\n", 3},
        {"component \"A\"\ngroup 2 \"X\"\nattribute 1 string\nrow 5\n", 4},
        {"component \"A\"\ngroup 2 \"X\"\nattribute 1 integer\nrow 99999999999\n", 4},
        {"component \"A\"\ngroup 2 \"X\"\nattribute 1 string\nrow \"a\" \"b\"\n", 4},
        {"component \"A\"\ngroup 2 \"X\" instrumentation \"R.dll\"\nattribute 1 string\nrow \"a\"\n", 4},
        {"component \"A\"\ngroup 2 \"X\"\ngroup 2 \"Y\"\n", 3},
        {"component \"A\"\ngroup 2 \"X\"\nattribute 1 string\nattribute 1 string\n", 4},
        {"component \"A\ngroup 2 \"X\"\n", 1},
        {"component \"A\"\ncomponent \"B\"\n", 2},
        {"# nothing but a comment\n", 2},
    };
    for (auto &c : cases) {
        InstalledComponent bad(c.text);
        EXPECT_EQ(bad.result, (uint32_t)DMIAPI_ERR_BAD_DESCRIPTION) << c.text;
        EXPECT_EQ(bad.errorLine, c.line) << c.text;
        EXPECT_EQ(bad.id, 0u);
    }
    uint32_t id = 0;
    EXPECT_EQ(DmiInstall(DMIAPI_INSTALL_COMPONENT, 0, 5, uint32_t(uintptr_t(&id)), 0),
              (uint32_t)DMIAPI_ERR_BAD_DESCRIPTION);
}

TEST_F(Components, RowsOfStaticGroupsFirstAndNext)
{
    InstalledComponent widget(kWidget);
    ASSERT_EQ(widget.result, 0u);
    Command first(DMI_CMD_GET_FIRST_ROW, handle);
    first.Rows(widget.id, 2);
    ASSERT_EQ(Run(first), 0u);
    EXPECT_EQ(first.get()->returnedCount, 1u);
    EXPECT_EQ(first.ResponseString(first.ResponseWord(0x1C)), "HKEY_LOCAL_MACHINE\\SOFTWARE\\One")
        << "word +0x1C is the key path";
    EXPECT_EQ(first.ResponseWord(0x10), 1u) << "key mask: the first attribute is the key";
    auto row = ParseRowResponse(first.response, 2048);
    ASSERT_EQ(row.size(), 1u);
    EXPECT_EQ(row[1].type, (uint32_t)DMI_TYPE_STRING);

    Command next(DMI_CMD_GET_NEXT_ROW, handle);
    next.Rows(widget.id, 2);
    next.Key(1, "HKEY_LOCAL_MACHINE\\SOFTWARE\\One");
    ASSERT_EQ(Run(next), 0u);
    EXPECT_EQ(next.ResponseString(next.ResponseWord(0x1C)), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Two");

    Command byNumber(DMI_CMD_GET_NEXT_ROW, handle);
    byNumber.Rows(widget.id, 5);
    byNumber.Key(1, 7u);
    ASSERT_EQ(Run(byNumber), 0u);
    row = ParseRowResponse(byNumber.response, 2048);
    EXPECT_EQ(row[1].number, 8u);
    EXPECT_EQ(row[2].text, "eight");

    struct {
        uint32_t command, component, group;
        const char *key;
        uint32_t status;
    } cases[] = {
        {774, widget.id, 2, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Two", DMIAPI_STATUS_NO_SUCH_ROW},
        {774, widget.id, 2, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Nowhere", DMIAPI_STATUS_NO_SUCH_ROW},
        {773, widget.id, 9, nullptr, DMIAPI_STATUS_NO_SUCH_GROUP},
        {773, widget.id + 1000, 2, nullptr, DMIAPI_STATUS_NO_SUCH_COMPONENT},
        {768, widget.id, 2, nullptr, DMIAPI_STATUS_UNSUPPORTED},
    };
    for (auto &c : cases) {
        Command cmd(c.command, handle);
        cmd.Rows(c.component, c.group);
        if (c.key)
            cmd.Key(1, c.key);
        EXPECT_EQ(Run(cmd), c.status) << c.command << " " << c.group;
        EXPECT_EQ(cmd.get()->returnedCount, 0u);
    }
}

TEST_F(Components, MalformedBlocksAreRefusedWithoutAConfirmation)
{
    InstalledComponent widget(kWidget);
    ASSERT_EQ(widget.result, 0u);
    auto keyed = [&](Command &c) {
        c.Rows(widget.id, 2);
        c.Key(1, "HKEY_LOCAL_MACHINE\\SOFTWARE\\One");
    };
    struct {
        const char *what;
        void (*spoil)(Command &);
        uint32_t command;
    } cases[] = {
        {"key list outside", [](Command &c) { c.Word(0x4C) = 508; }, 774},
        {"key count huge", [](Command &c) { c.Word(0x48) = 0x20000000; }, 774},
        {"key value outside", [](Command &c) { c.Word(508) = 510; }, 774},
        {"key string too long", [](Command &c) { c.Word(c.Word(508)) = 400; }, 774},
        {"key type unknown", [](Command &c) { c.Word(504) = 3; }, 774},
        {"block too short", [](Command &c) { c.get()->blockLength = 0x40; }, 773},
        {"no response buffer", [](Command &c) { c.get()->response = nullptr; }, 773},
        {"class outside", [](Command &c) { c.Word(DMI_OFF_CLASS_STRING) = 600; }, 513},
        {"class too long", [](Command &c) { c.Word(0x50) = 500; }, 513},
    };
    for (auto &c : cases) {
        Command cmd(c.command, handle);
        if (c.command == 513)
            cmd.Class(kKeyListClass);
        else
            keyed(cmd);
        c.spoil(cmd);
        EXPECT_EQ(Run(cmd), kRefused | DMIAPI_ERR_BAD_BLOCK) << c.what;
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_confirmations.Count(), 1u) << "only the registration was confirmed";
}

TEST_F(Components, ResponsesNeverGrowPastTheirSize)
{
    InstalledComponent widget(kWidget);
    InstalledComponent twin(kWidget);
    ASSERT_EQ(twin.result, 0u);

    Command tight(DMI_CMD_GET_FIRST_ROW, handle, DMIAPI_ROW_HEADER_SIZE + DMIAPI_ROW_ENTRY_SIZE);
    tight.Rows(widget.id, 2);
    EXPECT_EQ(Run(tight), DMIAPI_STATUS_RESPONSE_TOO_SMALL);
    EXPECT_TRUE(tight.UntouchedFrom(tight.get()->responseSize));
    EXPECT_EQ(tight.get()->returnedCount, 0u);

    Command none(DMI_CMD_GET_FIRST_ROW, handle, 0);
    none.Rows(widget.id, 2);
    EXPECT_EQ(Run(none), DMIAPI_STATUS_RESPONSE_TOO_SMALL);
    EXPECT_TRUE(none.UntouchedFrom(0));

    Command oneEntry(DMI_CMD_LIST_COMPONENTS, handle, DMIAPI_COMPONENT_ENTRY_SIZE + 3);
    oneEntry.Class(kKeyListClass);
    EXPECT_EQ(Run(oneEntry), DMIAPI_STATUS_RESPONSE_TOO_SMALL);
    EXPECT_EQ(oneEntry.get()->returnedCount, 1u);
    EXPECT_EQ(oneEntry.ResponseWord(8), 0u) << "the name did not fit";
    EXPECT_TRUE(oneEntry.UntouchedFrom(oneEntry.get()->responseSize));
}

int g_routineCalls;

AttributeValue *__stdcall NoValue(uint32_t, uint32_t, uint32_t, uint32_t, AttributeValue *)
{
    g_routineCalls++;
    return nullptr;
}

// The instrumentation entry carries nothing out once the record is cancelled.
TEST(InstrumentationEntry, RefusesBadArgumentsAndHonoursCancellation)
{
    InstalledComponent served("component \"Served\"\ngroup 3 \"TEST|Served|1.0\" instrumentation \"NONE.dll\"\n"
                              "attribute 1 string key\n");
    ASSERT_EQ(served.result, 0u);
    InstrumentationRecord record{};
    record.getValue = NoValue;
    record.getNextValue = NoValue;
    Command first(DMI_CMD_GET_FIRST_ROW, 1);
    first.Rows(served.id, 3);
    EXPECT_EQ(DmiCiServe(&record, first.get()), DMIAPI_STATUS_NO_SUCH_ROW);
    EXPECT_EQ(g_routineCalls, 1);
    record.cancelFlag = 1;
    EXPECT_EQ(DmiCiServe(&record, first.get()), DMIAPI_STATUS_CANCELLED);
    EXPECT_EQ(g_routineCalls, 1);
    EXPECT_EQ(DmiCiServe(nullptr, first.get()), (uint32_t)DMIAPI_ERR_BAD_BLOCK);
    EXPECT_EQ(DmiCiServe(&record, nullptr), (uint32_t)DMIAPI_ERR_BAD_BLOCK);
}

// Every process's service layer sees the components: the installer runs as a
// process of its own.
TEST_F(Components, TheInstallerProgramInstallsAndRemovesForTheWholeMachine)
{
    auto run = [](const std::string &args) {
        std::string line = "dmiinst.exe " + args;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return DWORD(-1);
        WaitForSingleObject(pi.hProcess, 30000);
        DWORD code = DWORD(-1);
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return code;
    };
    char dir[MAX_PATH], file[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "mif", 0, file);
    FILE *f = std::fopen(file, "wb");
    ASSERT_TRUE(f);
    std::string text = "component \"From a file\"\ngroup 2 \"TEST|Installer|1.0\"\nattribute 1 string key\n";
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);

    EXPECT_EQ(run(std::string("\"") + file + "\""), 0u);
    auto listed = List("TEST|Installer|1.0");
    ASSERT_EQ(listed.size(), 1u);
    uint32_t id = listed.begin()->first;
    EXPECT_EQ(listed[id].second, "From a file");
    EXPECT_EQ(run("/list"), 0u);
    EXPECT_EQ(run("/remove " + std::to_string(id)), 0u);
    EXPECT_TRUE(List("TEST|Installer|1.0").empty());
    EXPECT_EQ(run("/remove " + std::to_string(id)), 1u);

    f = std::fopen(file, "wb");
    std::fputs("group 2 \"TEST|Installer|1.0\"\n", f);
    std::fclose(f);
    EXPECT_EQ(run(std::string("\"") + file + "\""), 1u) << "not a description";
    EXPECT_EQ(run("/bogus"), 2u);
    DeleteFileA(file);
}

} // namespace
