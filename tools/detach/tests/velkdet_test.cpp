// velkdet run as a user runs it: real processes on the test machine, its message
// boxes on the virtual display, and a probe program that writes down how it was started.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

const char kUsage[] = "Usage: velkdet <program> <working dir> <arguments>";
const char kInvalid[] = "Invalid command line";

PROCESS_INFORMATION StartVelkdet(const std::string &arguments, bool inherit = false)
{
    std::string line = "velkdet.exe" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessA("velkdet.exe", &line[0], nullptr, nullptr, inherit, 0, nullptr,
                               nullptr, &startup, &process))
        << "error " << GetLastError();
    return process;
}

DWORD WaitForExit(PROCESS_INFORMATION &process, DWORD ms = 20000)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

struct BoxSearch { DWORD pid; HWND found; };

BOOL CALLBACK MatchBox(HWND window, LPARAM param)
{
    auto *search = reinterpret_cast<BoxSearch *>(param);
    char caption[32], cls[32];
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && GetWindowTextA(window, caption, sizeof caption)
        && std::string(caption) == "VELKDETACH" && GetClassNameA(window, cls, sizeof cls)
        && std::string(cls) == "#32770") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Waits for velkdet's message box, reads its text and presses OK.
std::string TakeMessageBox(DWORD pid)
{
    for (int i = 0; i < 200; ++i) {
        BoxSearch search = {pid, nullptr};
        EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            char text[512] = "";
            GetDlgItemTextA(search.found, 0xFFFF, text, sizeof text);
            EXPECT_NE(GetDlgItem(search.found, IDOK), nullptr) << "an OK button";
            EXPECT_EQ(GetDlgItem(search.found, IDCANCEL), nullptr) << "and no other";
            PostMessageA(search.found, WM_COMMAND, IDOK, 0);
            return text;
        }
        Sleep(50);
    }
    return "<no message box>";
}

TEST(Velkdet, ShowsItsMessagesAndEndsWithOne)
{
    std::string longName = "C:\\" + std::string(124, 'p') + ".exe"; // 131 characters
    struct Case { std::string arguments, text; } cases[] = {
        {"", kUsage},
        {"/?", kUsage},
        {"-h", kUsage},
        {"-H x y z", kUsage},
        {"-x", kInvalid},
        {"/n", kUsage},  // the option alone names no program
        {"C:\\no\\such\\prog.exe", "Failed to start \"C:\\no\\such\\prog.exe\""},
        {"-N \"C:\\no such\\prog.exe\" C:\\ \"a b\"", "Failed to start \"C:\\no such\\prog.exe\""},
        {longName, kInvalid},
        {"C:\\p.exe " + std::string(128, 'd'), kInvalid},
        {"C:\\p.exe C:\\ " + std::string(500, 'a'), kInvalid},
    };
    for (const Case &c : cases) {
        PROCESS_INFORMATION velkdet = StartVelkdet(c.arguments);
        EXPECT_EQ(TakeMessageBox(velkdet.dwProcessId), c.text) << "arguments: " << c.arguments;
        EXPECT_EQ(WaitForExit(velkdet), 1u) << "arguments: " << c.arguments;
    }
}

// A probe copied to a folder with a space, a working directory for it, and the
// file it reports to.
class DetachedProbe : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        folder_ = std::string(temp) + "velkdet run " + std::to_string(GetCurrentProcessId());
        probe_ = folder_ + "\\probe app.exe";
        work_ = folder_ + "\\work dir";
        report_ = folder_ + "\\report.txt";
        ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(work_.c_str(), nullptr));
        ASSERT_TRUE(CopyFileA("detach_probe.exe", probe_.c_str(), FALSE));
        SetEnvironmentVariableA("DETACH_PROBE_REPORT", report_.c_str());
        char here[MAX_PATH];
        GetCurrentDirectoryA(sizeof here, here);
        here_ = here;
    }

    void TearDown() override
    {
        SetEnvironmentVariableA("DETACH_PROBE_REPORT", nullptr);
        SetEnvironmentVariableA("DETACH_PROBE_EVENT", nullptr);
        SetEnvironmentVariableA("DETACH_PROBE_HOLD", nullptr);
        DeleteFileA(report_.c_str());
        DeleteFileA(probe_.c_str());
        RemoveDirectoryA(work_.c_str());
        RemoveDirectoryA(folder_.c_str());
    }

    // The probe's report, once it is complete.
    std::map<std::string, std::string> Report()
    {
        std::map<std::string, std::string> values;
        for (int i = 0; i < 200 && !values.count("end"); ++i) {
            values.clear();
            std::ifstream in(report_);
            std::string line;
            while (std::getline(in, line)) {
                size_t equals = line.find('=');
                values[line.substr(0, equals)] =
                    equals == std::string::npos ? "" : line.substr(equals + 1);
            }
            if (!values.count("end"))
                Sleep(50);
        }
        return values;
    }

    // Runs velkdet with the arguments and returns what the probe saw.
    std::map<std::string, std::string> Run(const std::string &arguments, bool inherit = false)
    {
        DeleteFileA(report_.c_str());
        PROCESS_INFORMATION velkdet = StartVelkdet(arguments, inherit);
        EXPECT_EQ(WaitForExit(velkdet), 1u) << "arguments: " << arguments;
        return Report();
    }

    std::string folder_, probe_, work_, report_, here_;
};

TEST_F(DetachedProbe, StartsTheProgramInItsDirectoryWithItsArguments)
{
    const std::string p = "\"" + probe_ + "\"";
    struct Case { std::string arguments, command, directory; } cases[] = {
        {p + " \"" + work_ + "\" \"one two\"", p + " one two", work_},
        {p + " '" + work_ + "' e", p + " e", work_},
        {p + " \"" + work_ + "\" \"say \"\"hi\"\"\"", p + " say \"hi\"", work_},
        {p + " \"" + work_ + "\" -n ignored", p + " -n", work_},
        {"-n " + p + " \"" + work_ + "\" x", p + " x", work_},
        // only the program: the command line ends in a space, and the program
        // starts in velkdet's own directory
        {p, p + " ", here_},
        {p + " \"\" args", p + " args", here_},
    };
    for (const Case &c : cases) {
        auto report = Run(c.arguments);
        EXPECT_EQ(report["command"], c.command) << "arguments: " << c.arguments;
        EXPECT_EQ(report["directory"], c.directory) << "arguments: " << c.arguments;
    }
}

TEST_F(DetachedProbe, ProgramNameWithoutSpaceStaysUnquoted)
{
    auto report = Run("detach_probe.exe \"" + work_ + "\" a");
    EXPECT_EQ(report["command"], "detach_probe.exe a");
    EXPECT_EQ(report["directory"], work_);
}

// Handle inheritance and window state, with velkdet started holding an
// inheritable event whose number the probe tries.
class Platform : public DetachedProbe {
protected:
    void SetUp() override
    {
        DetachedProbe::SetUp();
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        event_ = CreateEventA(&inheritable, TRUE, FALSE, nullptr);
        ASSERT_NE(event_, nullptr);
        char number[32];
        snprintf(number, sizeof number, "%lx", (unsigned long)(UINT_PTR)event_);
        SetEnvironmentVariableA("DETACH_PROBE_EVENT", number);
    }

    void TearDown() override
    {
        CloseHandle(event_);
        DetachedProbe::TearDown();
    }

    HANDLE event_ = nullptr;
};

TEST_F(Platform, OnNtTheProgramIsDetachedAndInheritsNothing)
{
    auto report = Run("\"" + probe_ + "\" \"" + work_ + "\" x", true);
    EXPECT_EQ(report["startflags"], "0");
    EXPECT_EQ(report["inherited"], "0");
    EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_TIMEOUT);
}

// Makes the test machine report a non-NT platform to velkdet only, and takes
// the setting away again, with the parent key when it was not there before.
class NonNtVelkdet {
public:
    NonNtVelkdet()
    {
        HKEY key;
        hadParent_ = RegOpenKeyExA(HKEY_CURRENT_USER, kParent, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (hadParent_)
            RegCloseKey(key);
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, "Version", 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>("win98"), 6), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    ~NonNtVelkdet()
    {
        RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
        if (!hadParent_)
            RegDeleteKeyA(HKEY_CURRENT_USER, kParent);
    }

private:
    static constexpr const char *kParent = "Software\\Wine\\AppDefaults";
    static constexpr const char *kKey = "Software\\Wine\\AppDefaults\\velkdet.exe";
    bool hadParent_ = false;
};

TEST_F(Platform, ElsewhereTheProgramIsHiddenAndInheritsHandles)
{
    std::map<std::string, std::string> report;
    {
        NonNtVelkdet win98;
        report = Run("\"" + probe_ + "\" \"" + work_ + "\" x", true);
    }
    EXPECT_EQ(report["startflags"], std::to_string(STARTF_USESHOWWINDOW));
    EXPECT_EQ(report["show"], std::to_string(SW_HIDE));
    EXPECT_EQ(report["inherited"], "1");
    EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_OBJECT_0);
    EXPECT_EQ(report["command"], "\"" + probe_ + "\" x");
}

// The probe holds until the test releases it.
class Held : public DetachedProbe {
protected:
    void SetUp() override
    {
        DetachedProbe::SetUp();
        std::string name = "velkdet_probe_hold_" + std::to_string(GetCurrentProcessId());
        hold_ = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        ASSERT_NE(hold_, nullptr);
        SetEnvironmentVariableA("DETACH_PROBE_HOLD", name.c_str());
    }

    void TearDown() override
    {
        SetEvent(hold_);
        CloseHandle(hold_);
        DetachedProbe::TearDown();
    }

    HANDLE hold_ = nullptr;
};

TEST_F(Held, WaitsUntilTheProgramsPrimaryThreadEnds)
{
    PROCESS_INFORMATION velkdet = StartVelkdet("\"" + probe_ + "\" \"" + work_ + "\" x");
    auto report = Report();
    ASSERT_EQ(report.count("end"), 1u);
    EXPECT_EQ(WaitForSingleObject(velkdet.hProcess, 1500), WAIT_TIMEOUT)
        << "velkdet ended while its program still ran";
    SetEvent(hold_);
    EXPECT_EQ(WaitForExit(velkdet), 1u);
    EXPECT_EQ(Report().count("released"), 1u) << "velkdet ended before its program";
}

TEST_F(Held, OptionNReturnsWithoutWaiting)
{
    PROCESS_INFORMATION velkdet = StartVelkdet("-n \"" + probe_ + "\" \"" + work_ + "\" x");
    EXPECT_EQ(WaitForExit(velkdet), 1u);
    auto report = Report();
    EXPECT_EQ(report.count("released"), 0u) << "velkdet waited for its program";

    // Let the probe go and wait for it, so that nothing is left running.
    HANDLE probe = OpenProcess(SYNCHRONIZE, FALSE, std::stoul(report["pid"]));
    ASSERT_NE(probe, nullptr);
    SetEvent(hold_);
    EXPECT_EQ(WaitForSingleObject(probe, 20000), WAIT_OBJECT_0);
    CloseHandle(probe);
}

} // namespace
