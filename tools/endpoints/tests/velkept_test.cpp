#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "run_program.h"
#include "test_server_process.h"

namespace {

struct VelkeptRun {
    std::string out;
    DWORD exitCode;
};

// Runs velkept with these arguments and collects what it prints.
VelkeptRun Velkept(const std::string &args)
{
    ProgramRun run = RunProgram("velkept.exe" + (args.empty() ? "" : " " + args), "", INFINITE);
    return {run.output, run.exitCode};
}

std::string ComputerName()
{
    char name[32];
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    return name;
}

std::string Lower(std::string s)
{
    for (char &c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

const std::string kTitle = "\nVELKEPT: Display VELK server RPC endpoints on a system\n\n";
const std::string kUsage = "Usage:\n       velkept [-p protocol] [-u] system\n";

std::string Header(const std::string &system)
{
    return "\nRegistered VELK endpoints on " + system + ":\n\n";
}

// One listed endpoint: " <binding> <annotation>" and the line's end.
std::string Endpoint(const std::string &protseq, const std::string &address,
                     const std::string &end = "\n")
{
    return " " + protseq + ":" + address + "\\[[^\\]]+\\] " + end;
}

} // namespace

TEST(Velkept, CommandLinesAgainstOutputAndExitCode)
{
    TestServerProcess server("ncalrpc,ncacn_ip_tcp");
    ASSERT_TRUE(server.started());
    const std::string me = ComputerName();
    // Listing order is the map's; each run lists both endpoints of the server.
    auto listing = [](const std::string &header, const std::string &lrpc, const std::string &tcp) {
        return header + "((" + lrpc + ")|(" + tcp + ")){2}";
    };
    struct Case { std::string args; DWORD exitCode; std::string pattern; } cases[] = {
        {"", 0, listing(Header(me), Endpoint("ncalrpc", me), Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1"))},
        {Lower(me), 0,
         listing(Header(Lower(me)), Endpoint("ncalrpc", Lower(me)), Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1"))},
        {"127.0.0.1", 0,
         listing(Header("127\\.0\\.0\\.1"), Endpoint("ncalrpc", "127\\.0\\.0\\.1"),
                 Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1"))},
        {"-p ncalrpc localhost", 0,
         listing(Header("localhost"), Endpoint("ncalrpc", "localhost"), Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1"))},
        {"localhost -pncalrpc", 0,
         listing(Header("localhost"), Endpoint("ncalrpc", "localhost"), Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1"))},
        {"-u 127.0.0.1", 0,
         "\nSystem \"127\\.0\\.0\\.1\" not local: -U ignored\n" +
             listing(Header("127\\.0\\.0\\.1"), Endpoint("ncalrpc", "127\\.0\\.0\\.1"),
                     Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1"))},
        {"/U localhost " + me, 0,
         "\nSystem \"" + me + "\" not local: -U ignored\n" +
             listing(Header(me), Endpoint("ncalrpc", me), Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1"))},
        {"-p ncacn_np 127.0.0.1", 0,
         listing(Header("127\\.0\\.0\\.1"), Endpoint("ncalrpc", "127\\.0\\.0\\.1"),
                 Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1"))},
        {"-p", 1, kUsage},
        {"127.0.0.1 -p", 1, kUsage},
        {"-x", 1, kUsage},
        {"-", 1, kUsage},
        {"/?", 0, kTitle + kUsage},
        {"-h", 0, kTitle + kUsage},
        {"/H extra", 0, kTitle + kUsage},
        {"-u", 0,
         listing(Header(me), Endpoint("ncalrpc", me, " - removed\n"),
                 Endpoint("ncacn_ip_tcp", "127\\.0\\.0\\.1", " - removed\n"))},
        {"", 0, Header(me)},
    };
    for (const Case &c : cases) {
        VelkeptRun run = Velkept(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << "velkept " << c.args;
        bool isPattern = c.pattern.find('\\') != std::string::npos || c.pattern.find('(') != std::string::npos;
        if (isPattern)
            EXPECT_TRUE(std::regex_match(run.out, std::regex(c.pattern))) << "velkept " << c.args << "\n" << run.out;
        else
            EXPECT_EQ(run.out, c.pattern) << "velkept " << c.args;
    }
}
