// Scenario files: every fault one line with its file, line and column, and
// nothing started; the TOML the lab writes reads back to the same scenario.
#include "run_support.h"
#include "run/scenario.h"

namespace palaver::lab::test {
namespace {

struct BadFile {
    const char* what;
    std::string text;
    std::string place;    // "line:column" the message names
    std::string mention;  // a piece of the message
};

const std::string Nodes = "[nodes]\ncount = 4\n";
const std::string Halves = "[[group]]\nname = \"a\"\nfirst = 1\nlast = 2\n[[group]]\nname = \"b\"\nrest = true\n";

const std::vector<BadFile> BadFiles = {
    {"unknown key", Nodes + "colour = 1\n", "3:1", "unknown key 'colour'"},
    {"unknown top-level table", "[network]\nloss = 1\n", "1:2", "unknown key 'network'"},
    {"wrong type", "[nodes]\ncount = \"four\"\n", "2:9", "must be an integer"},
    {"wrong type of a list", Nodes + Halves + "[[step]]\ndo = \"partition\"\ngroups = \"a\"\n", "12:10",
     "array of strings"},
    {"unknown action", Nodes + "[[step]]\ndo = \"explode\"\n", "4:6", "unknown action 'explode'"},
    {"unknown group in a step", Nodes + "[[step]]\ndo = \"crash\"\ngroup = \"nowhere\"\ncount = 1\n", "5:9",
     "unknown group 'nowhere'"},
    {"unknown group in a partition", Nodes + Halves + "[[step]]\ndo = \"partition\"\ngroups = [\"a\", \"c\"]\n",
     "12:10", "unknown group 'c'"},
    {"time going backwards", Nodes + "[[step]]\ndo = \"wait\"\nat = 10\n[[step]]\ndo = \"wait\"\nat = 5\n", "8:6",
     "time goes backwards"},
    {"percentage above 100", Nodes + "[[step]]\ndo = \"loss\"\npercent = 120\n", "5:11", "out of the range"},
    {"no datagram type", Nodes + "[[step]]\ndo = \"loss\"\npercent = 5\ntypes = \"Bq\"\n", "6:9",
     "'q' is no datagram type letter"},
    {"negative share", Nodes + "[[group]]\nname = \"g\"\nshare = -5\n", "5:9", "out of the range"},
    {"group larger than the nodes", Nodes + "[[group]]\nname = \"big\"\nfirst = 1\nlast = 6\n", "6:8",
     "reaches node 6 of only 4"},
    {"partition without a namespace", "[nodes]\ncount = 4\nhost_network = true\n" + Halves + "[[step]]\ndo = \"partition\"\ngroups = [\"a\", \"b\"]\n",
     "11:1", "needs the private network namespace"},
    {"loss without a namespace", "[nodes]\ncount = 4\nhost_network = true\n[[step]]\ndo = \"loss\"\npercent = 5\n",
     "4:1", "needs the private network namespace"},
    {"a wait without its bound", Nodes + "[[step]]\ndo = \"lines\"\nwhen = \"quiet\"\n", "5:8", "needs its bound"},
    {"a Pareto shape without a mean", Nodes + "[[step]]\ndo = \"churn\"\nmodel = \"pareto\"\nmean = 5\nshape = 1\n"
                                              "duration = 10\n",
     "7:9", "above 1"},
    {"an expectation naming no step", Nodes + "[[expect]]\ncheck = \"delivery\"\nsteps = [\"x\"]\nat_least = 99\n",
     "5:9", "unknown step 'x'"},
    {"until an earlier step", Nodes + "[[step]]\nname = \"w\"\ndo = \"wait\"\n[[step]]\ndo = \"snapshot\"\nevery = "
                                      "1\nuntil = \"w\"\n",
     "9:9", "not a later step"},
    {"TOML syntax", Nodes + "[[step]\n", "3:8", "expected ']'"},
};

TEST(ScenarioFile, EachFaultNamesItsPlace) {
    for (const BadFile& bad : BadFiles) {
        try {
            parseScenario(bad.text, "s.toml");
            ADD_FAILURE() << bad.what << ": accepted";
        } catch (const ScenarioError& e) {
            const std::string message = e.what();
            EXPECT_TRUE(message.starts_with("s.toml:" + bad.place + ": ")) << bad.what << ": " << message;
            EXPECT_NE(message.find(bad.mention), std::string::npos) << bad.what << ": " << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << bad.what << ": " << message;
        }
    }
}

TEST(ScenarioFile, ABadFileGivesOneLineAndStatusTwoAndStartsNothing) {
    TempDir logs;
    const fs::path out = logs / "out";
    for (const BadFile& bad : {BadFiles[0], BadFiles[7], BadFiles[11]}) {
        const fs::path file = logs / "bad.toml";
        std::ofstream(file) << bad.text;
        Finished f = runLab({"run", file.string(), "--out", out.string()}, logs);
        EXPECT_EQ(f.status, 2) << bad.what << f.err;
        EXPECT_TRUE(f.err.starts_with("palaver-lab: " + file.string() + ":" + bad.place + ": ")) << f.err;
        EXPECT_EQ(std::count(f.err.begin(), f.err.end(), '\n'), 1) << f.err;
        EXPECT_FALSE(fs::exists(out)) << bad.what;
    }
    // Flags that a file says itself are refused next to it.
    std::ofstream(logs / "good.toml") << Nodes;
    Finished f = runLab({"run", (logs / "good.toml").string(), "--nodes", "5", "--out", out.string()}, logs);
    EXPECT_EQ(f.status, 2);
    EXPECT_NE(f.err.find("--nodes"), std::string::npos) << f.err;
    EXPECT_FALSE(fs::exists(out));
}

// What a scenario says, as text that differs when any of it differs.
std::string meaning(const Scenario& s) {
    std::string text = scenarioToml(s);
    for (const GroupSpec& g : s.groups) {
        text += g.name + ":";
        for (std::size_t i : g.members) text += " " + std::to_string(i);
        text += "\n";
    }
    return text.substr(text.find('\n'));  // without the first line, which names the source
}

TEST(ScenarioFile, TheWrittenScenarioReadsBackToTheSame) {
    for (const char* name : {"partition.toml", "churn-exponential.toml", "churn-pareto.toml", "loss-rise.toml",
                             "e1-size.toml", "e2-loss.toml", "e3-churn.toml", "e4-burst.toml"}) {
        const fs::path path = fs::path(PALAVER_SOURCE_DIR) / "lab" / "scenarios" / name;
        const Scenario first = loadScenario(path.string());
        const Scenario again = parseScenario(scenarioToml(first), "again.toml");
        EXPECT_EQ(meaning(again), meaning(first)) << name;
    }
    RunOptions o;
    o.nodes = 9;
    o.burst = 3;
    o.leave = 1;
    o.crash = 2;
    o.loss = 4;
    o.holdMembers = 9;
    const Scenario flags = scenarioFromOptions(o);
    EXPECT_EQ(meaning(parseScenario(scenarioToml(flags), "flags.toml")), meaning(flags));
}

TEST(ScenarioFile, SharesAreDrawnWithTheSeedAndTheRestTakesTheOthers) {
    const std::string text = "[nodes]\ncount = 20\n[[group]]\nname = \"some\"\nshare = 30\n"
                             "[[group]]\nname = \"others\"\nrest = true\n";
    Scenario a = parseScenario(text, "a.toml");
    Scenario b = parseScenario("seed = 2\n" + text, "b.toml");
    ASSERT_EQ(a.group("some")->members.size(), 6u);
    EXPECT_EQ(a.group("others")->members.size(), 14u);
    EXPECT_NE(a.group("some")->members, b.group("some")->members);
    EXPECT_EQ(parseScenario(text, "c.toml").group("some")->members, a.group("some")->members);
    for (std::size_t i : a.group("some")->members) {
        EXPECT_EQ(std::count(a.group("others")->members.begin(), a.group("others")->members.end(), i), 0);
    }
}

// A share of 10 nodes is rounded to the nearest whole node.
TEST(ScenarioFile, AShareIsRoundedToTheNearestNode) {
    for (const auto& [share, nodes] : std::vector<std::pair<int, std::size_t>>{{14, 1}, {16, 2}, {33, 3}, {36, 4}}) {
        SCOPED_TRACE(share);
        const Scenario s = parseScenario("[nodes]\ncount = 10\n[[group]]\nname = \"some\"\nshare = " +
                                             std::to_string(share) + "\n",
                                         "share.toml");
        EXPECT_EQ(s.group("some")->members.size(), nodes);
    }
}

TEST(ScenarioFile, WithoutGroupsAllIsEveryNode) {
    // A file that names no group still has "all": every node, so that its
    // start and join steps act on them.
    const Scenario s = parseScenario("[nodes]\ncount = 5\n[[step]]\ndo = \"start\"\n", "plain.toml");
    ASSERT_NE(s.group("all"), nullptr);
    EXPECT_EQ(s.group("all")->members, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

// A value set from the command line: what the scenario then holds, and a
// fault in a setting named by the setting itself, as one line.
TEST(ScenarioFile, SettingsReplaceOrAddTheFilesValues) {
    const std::string text = "seed = 3\n" + Nodes + Halves +
                             "[[step]]\nname = \"cut\"\ndo = \"partition\"\ngroups = [\"a\", \"b\"]\nat = 5\n"
                             "[[step]]\ndo = \"loss\"\npercent = 2\n"
                             "[[expect]]\nname = \"all joins\"\ncheck = \"joins\"\nat_least = 100\n";
    const Scenario plain = parseScenario(text, "s.toml");
    const Scenario set = parseScenario(text, "s.toml",
                                       {"nodes.count=6", "timing.quiet_ms=321", "step.cut.at=7.5", "step.loss_2.percent=9",
                                        "expect.all joins.at_least=50", "group.a.last=3", "seed=8"});
    EXPECT_EQ(set.nodes, 6);
    EXPECT_EQ(set.quietMs, 321);  // a table the file does not have
    EXPECT_EQ(set.steps[0].trigger.ms, 7500);
    EXPECT_DOUBLE_EQ(set.steps[1].percent, 9);  // an unnamed step by its action and number
    // Datagram types in their fixed order, each once, whatever the setting's order.
    EXPECT_EQ(parseScenario(text, "s.toml", {"step.loss_2.types=LBxB"}).steps[1].types, "xBL");
    ASSERT_TRUE(set.expectations[0].atLeast);
    EXPECT_DOUBLE_EQ(*set.expectations[0].atLeast, 50);
    EXPECT_EQ(set.group("a")->members, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(set.group("b")->members, (std::vector<std::size_t>{3, 4, 5}));  // the rest of six nodes
    EXPECT_EQ(set.seed, 8u);
    // Nothing else changed; the file's own values stay where not set.
    EXPECT_EQ(plain.nodes, 4);
    EXPECT_EQ(set.steps[0].groups, plain.steps[0].groups);
    EXPECT_EQ(parseScenario(text, "s.toml", {"nodes.count=4"}).steps.size(), plain.steps.size());
    // A string needs no quotes; a list is written as in the file.
    EXPECT_EQ(parseScenario(text, "s.toml", {"nodes.first_address=127.9.0.1"}).firstAddress, "127.9.0.1");
    EXPECT_EQ(parseScenario(text, "s.toml", {"step.cut.groups=[\"b\", \"a\"]"}).steps[0].groups,
              (std::vector<std::string>{"b", "a"}));

    struct Bad {
        std::string setting, mention;
    };
    for (const Bad& bad : std::vector<Bad>{
             {"nodes.colour=1", "unknown key 'colour' in [nodes]"},
             {"nodes.count=1", "out of the range"},
             {"nodes.count=four", "must be an integer"},
             {"step.nowhere.at=3", "s.toml has no step named 'nowhere'"},
             {"expect.some joins.at_least=3", "no expect named 'some joins'"},
             {"step.cut.groups=[\"a\", \"c\"]", "unknown group 'c'"},
             {"step.cut.at", "not PATH=VALUE"},
             {"=3", "not PATH=VALUE"},
             {"nodes..count=3", "an empty name"},
             {"step.cut=3", "not a key of the file"},
             {"a.b.c.d=1", "not a key of the file"},
             {"nodes.count.x=1", "not a key of the file"},
             {"seed.x=1", "seed is not a table"},
         }) {
        try {
            parseScenario(text, "s.toml", {"timing.quiet_ms=300", bad.setting});
            ADD_FAILURE() << bad.setting << ": accepted";
        } catch (const ScenarioError& e) {
            const std::string message = e.what();
            EXPECT_TRUE(message.starts_with("--set " + bad.setting + ": ")) << message;
            EXPECT_NE(message.find(bad.mention), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
    }
}

}  // namespace
}  // namespace palaver::lab::test
