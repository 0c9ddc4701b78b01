// statusmon on the test machine: what an operator sees.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "peer_process.h"
#include "velkcomm.h"

using namespace std::chrono_literals;

namespace {

DWORD ExitCode(Peer &p)
{
    DWORD code = 0;
    EXPECT_TRUE(p.WaitExit(10000));
    GetExitCodeProcess(p.process(), &code);
    return code;
}

TEST(StatusMonitor, OncePrintsTheStatusAndExits)
{
    uint32_t server = RegisterVelkServer(nullptr), router = RegisterVelkDll();
    ChangeStatus(router, 0x01020304, 0);
    ChangeStatus(server, 0x5, 0);
    Peer monitor("", "statusmon.exe", "-once");
    std::string line = monitor.Expect("");
    EXPECT_NE(line.find("status flags 0x"), std::string::npos) << line;
    EXPECT_NE(line.find("SERVER_ACTIVE"), std::string::npos) << line;
    EXPECT_NE(line.find("SERVER_PRESENT"), std::string::npos) << line;
    EXPECT_NE(line.find("REMOTE_INVOKE"), std::string::npos) << line;
    EXPECT_NE(line.find("remote-invoke 1 remote-confirm 2 local-invoke 3 local-confirm 4"), std::string::npos)
        << line;
    EXPECT_NE(line.find("server-status 0x00000005"), std::string::npos) << line;
    EXPECT_EQ(ExitCode(monitor), 0u);
    ChangeStatus(router, 0, 0);
    UnregisterVelkDll(router);
    UnregisterVelkServer(server);
}

TEST(StatusMonitor, PrintsEachChangeAndStopsAfterTheGivenNumber)
{
    uint32_t server = RegisterVelkServer(nullptr);
    Peer monitor("", "statusmon.exe", "-changes 2 -seconds 30");
    ASSERT_NE(monitor.Expect("", 10s).find(" start "), std::string::npos);
    // Pulses reach the monitor only once its thread waits: keep changing until it has seen two.
    for (uint32_t status = 1; status < 200 && !monitor.WaitExit(100); status++)
        ChangeStatus(server, status, 0);
    EXPECT_EQ(ExitCode(monitor), 0u);
    std::string first = monitor.Expect(""), second = monitor.Expect(""), summary = monitor.Expect("");
    EXPECT_NE(first.find(" change flags 0x"), std::string::npos) << first;
    EXPECT_NE(second.find(" change flags 0x"), std::string::npos) << second;
    EXPECT_NE(first.find("SERVER_ACTIVE"), std::string::npos) << first;
    EXPECT_EQ(summary, "statusmon: 2 change(s) seen");
    UnregisterVelkServer(server);
}

TEST(StatusMonitor, EndsCleanlyAfterTheGivenTime)
{
    Peer monitor("", "statusmon.exe", "-seconds 1");
    EXPECT_EQ(ExitCode(monitor), 0u);
    EXPECT_NE(monitor.Expect("statusmon: ", 1s), "");
}

TEST(StatusMonitor, BadOptionsAreRefused)
{
    for (const char *args : {"-changes 0", "-seconds x", "-changes", "-verbose"}) {
        Peer monitor("", "statusmon.exe", args);
        EXPECT_EQ(ExitCode(monitor), 2u) << args;
    }
}

} // namespace
