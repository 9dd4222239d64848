// The run command's arguments: every bad one gives one line and status 2,
// and the helpers behind the address and loss options.
#include "run/run.h"
#include "run_support.h"
#include "run/scenario.h"

namespace palaver::lab::test {
namespace {

TEST(RunArguments, EachBadArgumentGivesOneLineAndStatusTwo) {
    TempDir logs;
    const std::string out = (logs / "out").string();
    fs::create_directories(logs / "full");
    std::ofstream(logs / "full" / "x") << "x";
    const std::string full = (logs / "full").string();
    std::ofstream(logs / "file") << "x";
    const std::string file = (logs / "file").string();

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"run", "--out", out, "--bogus"}, "--bogus"},
        {{"run", "--nodes", "1", "--out", out}, "--nodes"},
        {{"run", "--nodes", "many", "--out", out}, "--nodes"},
        {{"run", "--loss", "100.5", "--out", out}, "--loss"},
        {{"run", "--loss", "-1", "--out", out}, "--loss"},
        {{"run", "--out", full}, "not empty"},
        {{"run", "--out", file}, "not a folder"},
        {{"run", "--nodes", "10", "--first-address", "127.255.255.250", "--out", out}, "loopback range"},
        {{"run", "--first-address", "127.77.0", "--out", out}, "--first-address"},
        {{"run", "--contact", "127.0.0.1", "--out", out}, "--contact"},
        {{"run", "--contact", "127.0.0.1:70000", "--out", out}, "--contact"},
        {{"run", "--port", "0", "--out", out}, "--port"},
        {{"run", "--nodes", "4", "--leave", "2", "--crash", "2", "--out", out}, "--leave"},
        {{"run", "--nodes", "4", "--burst", "4", "--out", out}, "--burst"},
        {{"run", "--loss", "5", "--host-network", "--out", out}, "--loss"},
        {{"run", "--loss", "5", "--contact", "127.0.0.1:5000", "--out", out}, "--loss"},
        {{"run", "--nodes", "4", "--burst", "5", "--contact", "127.0.0.1:5000", "--out", out}, "--burst"},
        {{"run", "--join-timeout", "0", "--out", out}, "--join-timeout"},
        {{"run", "--settle-timeout", "0", "--out", out}, "--settle-timeout"},
        {{"run", "--quiet", "0", "--out", out}, "--quiet"},
        {{"run", "--quiet", "60001", "--out", out}, "--quiet"},
        {{"run", "--hold-timeout", "0", "--out", out}, "--hold-timeout"},
        {{"run", "--lines", "-1", "--out", out}, "--lines"},
        {{"run", "--set", "nodes.count=5", "--out", out}, "--set"},
        {{"run", "--nodes", "4"}, "--out"},
        {{}, "subcommand"},
    };
    for (const auto& [args, mention] : cases) {
        Finished f = runLab(args, logs);
        std::string all;
        for (const std::string& a : args) all += a + " ";
        EXPECT_EQ(f.status, 2) << all << f.err;
        EXPECT_TRUE(f.err.starts_with("palaver-lab: ")) << all << f.err;
        EXPECT_EQ(std::count(f.err.begin(), f.err.end(), '\n'), 1) << all << f.err;
        EXPECT_NE(f.err.find(mention), std::string::npos) << all << f.err;
    }
    // Nothing was started: the run folder was never made.
    EXPECT_FALSE(fs::exists(out));
}

// The edges of the checks that involve several options: each is sound.
TEST(RunArguments, TheEdgesOfTheCombinedChecksAreAccepted) {
    const auto with = [](auto change) {
        RunOptions o;
        o.nodes = 4;
        change(o);
        return checkRunOptions(o);
    };
    EXPECT_EQ(with([](RunOptions& o) { o.leave = 2, o.crash = 1; }), "") << "one node stays to type";
    EXPECT_EQ(with([](RunOptions& o) { o.burst = 3; }), "") << "every newcomer in the burst";
    EXPECT_EQ(with([](RunOptions& o) { o.burst = 4, o.contact = "127.0.0.1:5000"; }), "")
        << "with a contact the first node joins too";
    EXPECT_EQ(with([](RunOptions& o) { o.loss = 100; }), "");
    EXPECT_EQ(with([](RunOptions& o) { o.firstAddress = "127.255.255.251"; }), "") << "up to 127.255.255.254";
    EXPECT_NE(with([](RunOptions& o) { o.leave = 2, o.crash = 2; }), "");
    EXPECT_NE(with([](RunOptions& o) { o.loss = 0.5, o.hostNetwork = true; }), "");
}

// Without options a run stands for the scenario of the defaults --help names.
TEST(RunArguments, WithoutOptionsTheDefaultsHold) {
    const Scenario s = scenarioFromOptions(RunOptions{});
    EXPECT_EQ(s.source, "flags");
    EXPECT_EQ(s.seed, 1u);
    EXPECT_EQ(s.nodes, 10);
    EXPECT_EQ(s.firstAddress, "127.77.0.1");
    EXPECT_EQ(s.port, 50000);
    EXPECT_EQ(s.joinTimeoutMs, 3000);
    EXPECT_EQ(s.settleTimeoutMs, 20000);
    EXPECT_EQ(s.quietMs, 200);
    EXPECT_FALSE(s.needsNetworkRules());
    int lines = 0;
    for (const StepSpec& st : s.steps) {
        if (st.action == "lines") lines += st.count;
        EXPECT_NE(st.action, "leave");
        EXPECT_NE(st.action, "crash");
        EXPECT_NE(st.action, "depart");
    }
    EXPECT_EQ(lines, 10);
}

TEST(RunArguments, HelpNamesEveryOptionWithItsDefault) {
    TempDir logs;
    Finished f = runLab({"run", "--help"}, logs);
    EXPECT_EQ(f.status, 0);
    for (const char* option : {"--nodes", "--seed", "--lines", "--loss", "--leave", "--crash", "--burst",
                               "--first-address", "--port", "--contact", "--out", "--host-network",
                               "--join-timeout", "--settle-timeout", "--quiet", "--hold-members", "--hold-timeout"}) {
        EXPECT_NE(f.out.find(option), std::string::npos) << option;
    }
    for (const char* shown : {"=10", "=127.77.0.1", "=50000", "=200"}) {
        EXPECT_NE(f.out.find(shown), std::string::npos) << shown << "\n"
                                                        << f.out;
    }
}

TEST(RunAddresses, ConsecutiveAddressesCarryOverOctetsAndStayInTheirRange) {
    auto ips = consecutiveAddresses("127.77.0.254", 4, true);
    ASSERT_TRUE(ips);
    EXPECT_EQ(*ips, (std::vector<std::string>{"127.77.0.254", "127.77.0.255", "127.77.1.0", "127.77.1.1"}));
    EXPECT_TRUE(consecutiveAddresses("127.255.255.253", 2, true));
    EXPECT_FALSE(consecutiveAddresses("127.255.255.253", 3, true));
    EXPECT_FALSE(consecutiveAddresses("127.0.0.0", 1, true));
    EXPECT_FALSE(consecutiveAddresses("10.0.0.1", 1, true));
    EXPECT_TRUE(consecutiveAddresses("10.0.0.1", 1, false));
    EXPECT_FALSE(consecutiveAddresses("255.255.255.254", 2, false));

    EXPECT_EQ(parseContact("10.1.2.3:50000")->key(), "10.1.2.3@50000");
    EXPECT_EQ(parseContact("10.1.2.3@7")->key(), "10.1.2.3@7");
    for (const char* bad : {"10.1.2.3", "10.1.2.3:", "10.1.2:5", "10.1.2.3:0", "10.1.2.3:65536", "10.1.2.3:5x", ":5"}) {
        EXPECT_FALSE(parseContact(bad)) << bad;
    }
}

}  // namespace
}  // namespace palaver::lab::test
