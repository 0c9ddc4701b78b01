// rokinsu as an operator runs it: a real process against the service layer's
// component database and the test machine's registry; its message boxes are
// found by their captions on the test display, read, and answered.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>

#include "component_database.h"
#include "row_command.h"

namespace {

constexpr char kConfigRoot[] = "SYSTEM\\CurrentControlSet\\Services\\ROKIN";
constexpr char kMainTitle[] = "ROKIN (Windows Registry Direct-Interface Instrumentation)";
constexpr DWORD kWaitMs = 20000;

// One run of rokinsu.exe; a run still going at the end is ended.
class SetupRun {
public:
    SetupRun()
    {
        STARTUPINFOA si{};
        si.cb = sizeof si;
        char line[] = "rokinsu.exe";
        started_ = CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_) != 0;
    }
    ~SetupRun()
    {
        if (!started_)
            return;
        if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(pi_.hProcess, 1);
            WaitForSingleObject(pi_.hProcess, kWaitMs);
        }
        CloseHandle(pi_.hThread);
        CloseHandle(pi_.hProcess);
    }
    SetupRun(const SetupRun &) = delete;
    SetupRun &operator=(const SetupRun &) = delete;

    bool Started() const { return started_; }
    DWORD Id() const { return pi_.dwProcessId; }
    // The exit code, or nothing if the program is still running after the wait.
    std::optional<DWORD> Exit(DWORD ms = kWaitMs)
    {
        DWORD code;
        if (WaitForSingleObject(pi_.hProcess, ms) != WAIT_OBJECT_0 || !GetExitCodeProcess(pi_.hProcess, &code))
            return std::nullopt;
        return code;
    }

private:
    PROCESS_INFORMATION pi_{};
    bool started_ = false;
};

// A message box as a person sees it: its text and the window it belongs to.
struct ShownBox {
    HWND window = nullptr;
    std::string text;
    HWND owner = nullptr;
};

std::string WindowText(HWND h)
{
    char text[512] = "";
    GetWindowTextA(h, text, sizeof text);
    return text;
}

std::string ClassOf(HWND h)
{
    char name[64] = "";
    GetClassNameA(h, name, sizeof name);
    return name;
}

// Waits for a top-level window of process `pid` with this caption.
std::optional<ShownBox> WaitForBox(const char *caption, DWORD pid)
{
    for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
        for (HWND h = FindWindowExA(nullptr, nullptr, nullptr, caption); h;
             h = FindWindowExA(nullptr, h, nullptr, caption)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(h, &owner);
            if (owner != pid || !IsWindowVisible(h))
                continue;
            char text[512] = "";
            GetDlgItemTextA(h, 0xFFFF, text, sizeof text);
            return ShownBox{h, text, GetWindow(h, GW_OWNER)};
        }
        Sleep(50);
    }
    return std::nullopt;
}

void PressOk(const ShownBox &box)
{
    PostMessageA(box.window, WM_COMMAND, IDOK, 0);
}

// The component's configuration key as rokinsu writes it.
std::string ComponentKey(uint32_t id)
{
    return std::string(kConfigRoot) + "\\Component " + std::to_string(int32_t(id));
}

struct StoredValue {
    DWORD type = 0;
    std::string data;
    bool operator==(const StoredValue &o) const { return type == o.type && data == o.data; }
};

std::ostream &operator<<(std::ostream &os, const StoredValue &v)
{
    return os << "type " << v.type << " \"" << v.data << "\"";
}

StoredValue Text(const std::string &s)
{
    return {REG_SZ, s};
}

StoredValue Dword(uint32_t v)
{
    return {REG_DWORD, std::string(reinterpret_cast<const char *>(&v), 4)};
}

// Every value of a key with its type and stored data (texts as stored, a
// terminating zero included if there is one); empty if the key is missing.
// Read through the wide API, which, unlike the narrow one, adds no terminator.
std::map<std::string, StoredValue> ValuesOf(const std::string &path)
{
    std::map<std::string, StoredValue> values;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD i = 0;; i++) {
        wchar_t name[256];
        BYTE data[4096];
        DWORD nameLength = 256, type, size = sizeof data;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        std::string narrowName(name, name + nameLength), stored;
        if (type == REG_SZ) {
            const wchar_t *text = reinterpret_cast<const wchar_t *>(data);
            stored.assign(text, text + size / sizeof(wchar_t));
        } else {
            stored.assign(reinterpret_cast<char *>(data), size);
        }
        values[narrowName] = {type, stored};
    }
    RegCloseKey(key);
    return values;
}

bool KeyExists(const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void SetValue(const std::string &path, const char *name, const StoredValue &v)
{
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, v.type, reinterpret_cast<const BYTE *>(v.data.data()), DWORD(v.data.size()));
    RegCloseKey(key);
}

class Setup : public ::testing::Test {
protected:
    void SetUp() override { rootExisted = KeyExists(kConfigRoot); }
    void TearDown() override
    {
        if (!rootExisted)
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, kConfigRoot);
        for (uint32_t id : configured)
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, ComponentKey(id).c_str());
    }

    // Installs a component of the registry instrumentation whose group 2 lists `roots`.
    const InstalledComponent &Install(const std::vector<std::string> &roots)
    {
        components.push_back(std::make_unique<InstalledComponent>(RegistryMif(roots)));
        EXPECT_EQ(components.back()->result, 0u) << "line " << components.back()->errorLine;
        configured.push_back(components.back()->id);
        return *components.back();
    }

    ServiceLayerKnobs knobs;
    RegistryTree tree{"SOFTWARE\\RokinSetupTest"};
    std::vector<std::unique_ptr<InstalledComponent>> components;
    std::vector<uint32_t> configured;
    bool rootExisted = false;
};

// The rows rokindll serves for group 3 of a component, read through the service layer.
std::vector<Row> ServedRows(uint32_t componentId)
{
    std::vector<Row> rows;
    g_confirmations.Reset();
    TestBlock reg(RecordConfirmation, 1);
    if (DmiInvoke(reg.get()) != 0 || !g_confirmations.WaitFor(1))
        return rows;
    uint32_t handle = reg.ResponseWord(8);
    auto command = std::make_unique<RowCommand>(handle, componentId, 3);
    while (rows.size() < 100) {
        size_t before = g_confirmations.Count();
        if (DmiInvoke(command->get()) != 0 || !g_confirmations.WaitFor(before + 1) ||
            command->get()->completionStatus != 0 || !command->Result())
            break;
        rows.push_back(*command->Result());
        command = std::make_unique<RowCommand>(handle, componentId, 3, &rows.back());
    }
    TestBlock unreg(DMI_CMD_UNREGISTER, handle, 1);
    size_t before = g_confirmations.Count();
    if (DmiInvoke(unreg.get()) == 0)
        g_confirmations.WaitFor(before + 1);
    return rows;
}

std::vector<Row> PlainRows(const RegistryTree &tree, const std::vector<std::string> &subs)
{
    std::vector<Row> rows;
    for (const std::string &s : subs)
        PlainWalk(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", tree.Path(s), rows);
    return rows;
}

TEST_F(Setup, ConfiguresEveryComponentOfTheClassAndRokindllServesExactlyItsRoots)
{
    tree.Text("A1", "a", "1").Number("A1", "b", 2).Text("A2\\Deep", "c", "3").Text("A3", "d", "4");
    tree.Text("B1", "e", "5").Text("B2\\X", "f", "6").Text("Unconfigured", "g", "7");
    const InstalledComponent &a = Install({tree.Root("A1"), tree.Root("A2"), tree.Root("A3")});
    const InstalledComponent &b = Install({tree.Root("B1"), tree.Root("B2")});
    const InstalledComponent &empty = Install({});

    {
        SetupRun run;
        ASSERT_TRUE(run.Started());
        EXPECT_EQ(run.Exit(), std::optional<DWORD>(0)) << "ends on its own, without a message";
    }
    using Values = std::map<std::string, StoredValue>;
    EXPECT_EQ(ValuesOf(ComponentKey(a.id)), (Values{{"ComponentId", Dword(a.id)},
                                                    {"Key1", Text(tree.Root("A1"))},
                                                    {"Key2", Text(tree.Root("A2"))},
                                                    {"Key3", Text(tree.Root("A3"))}}))
        << "key paths in row order, stored without a terminating zero";
    EXPECT_EQ(ValuesOf(ComponentKey(b.id)),
              (Values{{"ComponentId", Dword(b.id)}, {"Key1", Text(tree.Root("B1"))}, {"Key2", Text(tree.Root("B2"))}}));
    EXPECT_TRUE(KeyExists(ComponentKey(empty.id)));
    EXPECT_EQ(ValuesOf(ComponentKey(empty.id)), (Values{{"ComponentId", Dword(empty.id)}}));

    EXPECT_EQ(ServedRows(a.id), PlainRows(tree, {"A1", "A2", "A3"}));
    EXPECT_EQ(ServedRows(b.id), PlainRows(tree, {"B1", "B2"}));
    EXPECT_TRUE(ServedRows(empty.id).empty());

    // A rerun keeps an existing key's id and rewrites from Key1; a value numbered
    // above the rows stays.
    SetValue(ComponentKey(a.id), "ComponentId", Dword(4242));
    SetValue(ComponentKey(a.id), "Key1", Text(tree.Root("Unconfigured")));
    SetValue(ComponentKey(a.id), "Key4", Text(tree.Root("B1")));
    StoredValue key4 = ValuesOf(ComponentKey(a.id))["Key4"];
    {
        SetupRun run;
        ASSERT_TRUE(run.Started());
        EXPECT_EQ(run.Exit(), std::optional<DWORD>(0));
    }
    EXPECT_EQ(ValuesOf(ComponentKey(a.id)), (Values{{"ComponentId", Dword(4242)},
                                                    {"Key1", Text(tree.Root("A1"))},
                                                    {"Key2", Text(tree.Root("A2"))},
                                                    {"Key3", Text(tree.Root("A3"))},
                                                    {"Key4", key4}}));
    EXPECT_EQ(ServedRows(a.id), PlainRows(tree, {"A1", "A2", "A3", "B1"}));
}

TEST_F(Setup, AKeyPathTooLongToNameTheNextRowEndsThatComponentsList)
{
    tree.Text("R", "v", "1");
    // 410 characters still fit a next-row block as its key; 411 do not.
    std::string fits = tree.Root("R") + "\\" + std::string(410 - tree.Root("R").size() - 1, 'f');
    std::string tooLong = fits + "g";
    ASSERT_EQ(fits.size(), 410u);
    const InstalledComponent &a = Install({fits, tree.Root("R")});
    const InstalledComponent &b = Install({tooLong, tree.Root("R")});

    SetupRun run;
    ASSERT_TRUE(run.Started());
    EXPECT_EQ(run.Exit(), std::optional<DWORD>(0));
    using Values = std::map<std::string, StoredValue>;
    EXPECT_EQ(ValuesOf(ComponentKey(a.id)),
              (Values{{"ComponentId", Dword(a.id)}, {"Key1", Text(fits)}, {"Key2", Text(tree.Root("R"))}}));
    EXPECT_EQ(ValuesOf(ComponentKey(b.id)), (Values{{"ComponentId", Dword(b.id)}, {"Key1", Text(tooLong)}}));
}

TEST_F(Setup, AComponentIdAbove31BitsNamesItsKeyWithANegativeNumber)
{
    tree.Text("R", "v", "1");
    const uint32_t id = 0x80000002u;
    // Stored straight into the service layer's database: it numbers new components upward from 1.
    struct StoredComponent {
        std::string key;
        StoredComponent(uint32_t id, const std::string &description)
            : key(std::string(DMIAPI_COMPONENTS_KEY) + "\\" + std::to_string(id))
        {
            HKEY k;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                nullptr) == ERROR_SUCCESS) {
                RegSetValueExA(k, "Description", 0, REG_BINARY, reinterpret_cast<const BYTE *>(description.data()),
                               DWORD(description.size()));
                RegCloseKey(k);
            }
        }
        ~StoredComponent() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str()); }
    } component(id, RegistryMif({tree.Root("R")}));
    configured.push_back(id);

    SetupRun run;
    ASSERT_TRUE(run.Started());
    EXPECT_EQ(run.Exit(), std::optional<DWORD>(0));
    using Values = std::map<std::string, StoredValue>;
    EXPECT_EQ(ValuesOf(std::string(kConfigRoot) + "\\Component -2147483646"),
              (Values{{"ComponentId", Dword(id)}, {"Key1", Text(tree.Root("R"))}}));
    EXPECT_EQ(ServedRows(id), PlainRows(tree, {"R"})) << "rokindll reads the name back with the same pattern";
}

// Confirmations that arrive before the command's call has returned, or well after.
class SetupTiming : public Setup, public ::testing::WithParamInterface<const char *> {};

TEST_P(SetupTiming, EveryCommandIsWaitedForWhenItsConfirmationComes)
{
    tree.Text("R", "v", "1").Text("S", "w", "2");
    knobs.Set(GetParam(), GetParam() == std::string("ConfirmDelay") ? 150 : 1);
    const InstalledComponent &a = Install({tree.Root("R"), tree.Root("S")});

    SetupRun run;
    ASSERT_TRUE(run.Started());
    EXPECT_EQ(run.Exit(), std::optional<DWORD>(0));
    using Values = std::map<std::string, StoredValue>;
    EXPECT_EQ(ValuesOf(ComponentKey(a.id)),
              (Values{{"ComponentId", Dword(a.id)}, {"Key1", Text(tree.Root("R"))}, {"Key2", Text(tree.Root("S"))}}));
}

INSTANTIATE_TEST_SUITE_P(Knobs, SetupTiming, ::testing::Values("ConfirmInCall", "ConfirmDelay"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

struct FailureCase {
    const char *what;
    const char *knob;
    bool mifInstalled;
    const char *caption, *text;
    bool configured;
};

class SetupFailure : public Setup, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SetupFailure, IsReportedInAMessageBoxOwnedByTheWindowAndTheProgramEndsWithZero)
{
    const FailureCase &c = GetParam();
    tree.Text("R", "v", "1");
    knobs.Set(c.knob, 0x3333);
    std::optional<uint32_t> id;
    if (c.mifInstalled)
        id = Install({tree.Root("R")}).id;

    SetupRun run;
    ASSERT_TRUE(run.Started());
    auto box = WaitForBox(c.caption, run.Id());
    ASSERT_TRUE(box) << "no \"" << c.caption << "\" message box";
    EXPECT_EQ(box->text, c.text);
    ASSERT_TRUE(box->owner);
    EXPECT_EQ(ClassOf(box->owner), "rokin");
    EXPECT_EQ(WindowText(box->owner), kMainTitle);
    EXPECT_FALSE(IsWindowVisible(box->owner)) << "the main window stays hidden";
    PressOk(*box);
    EXPECT_EQ(run.Exit(), std::optional<DWORD>(0)) << "no further message, and exit code 0";

    if (id) {
        EXPECT_EQ(KeyExists(ComponentKey(*id)), c.configured);
    } else if (!rootExisted) {
        EXPECT_FALSE(KeyExists(kConfigRoot)) << "nothing is written";
    }
}

// The refused unregistration shows whether an unregistration is sent at all.
INSTANTIATE_TEST_SUITE_P(
    Knobs, SetupFailure,
    ::testing::Values(FailureCase{"RegistrationRefused", "RefuseRegistration", true, "Service Layer Failure",
                                  "Unable to register with the Service Layer", false},
                      FailureCase{"MifNotInstalled", "RefuseUnregistration", false, "rokin Failure",
                                  "The registry MIF is not installed", false},
                      FailureCase{"UnregistrationRefused", "RefuseUnregistration", true, "Service Layer Failure",
                                  "Unable to unregister with the Service Layer", true}),
    [](const ::testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.what); });

TEST_F(Setup, ASecondInstanceWhileOneRunsSaysSoWithoutOwnerAndEndsWithZero)
{
    knobs.Set("RefuseRegistration", 0x3333);
    SetupRun first;
    ASSERT_TRUE(first.Started());
    auto held = WaitForBox("Service Layer Failure", first.Id());
    ASSERT_TRUE(held) << "the first instance is held by its message box";

    SetupRun second;
    ASSERT_TRUE(second.Started());
    auto box = WaitForBox("rokin setup Failure", second.Id());
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, "There can only be one instance of the registry setup running");
    EXPECT_EQ(box->owner, nullptr);
    PressOk(*box);
    EXPECT_EQ(second.Exit(), std::optional<DWORD>(0));

    PressOk(*held);
    EXPECT_EQ(first.Exit(), std::optional<DWORD>(0));

    SetupRun after;
    ASSERT_TRUE(after.Started());
    auto again = WaitForBox("Service Layer Failure", after.Id());
    ASSERT_TRUE(again) << "once the first has ended, a new instance runs";
    PressOk(*again);
    EXPECT_EQ(after.Exit(), std::optional<DWORD>(0));
}

} // namespace
