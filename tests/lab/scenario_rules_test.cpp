// The rules of lab/scenarios/README.md one by one: every refusal (a key, a
// value, a range, a combination, a path) with a file that breaks it, every
// default with a file that leaves its key out, and the edges that a rule
// lets through.
#include "run_support.h"
#include "run/scenario.h"

namespace palaver::lab::test {
namespace {

const std::string Four = "[nodes]\ncount = 4\n";
const std::string Two = "[[group]]\nname = \"a\"\nfirst = 1\nlast = 2\n[[group]]\nname = \"b\"\nrest = true\n";
std::string step(const std::string& body) { return Four + Two + "[[step]]\n" + body; }
std::string churn(const std::string& body) { return step("do = \"churn\"\n" + body); }
std::string expect(const std::string& body) { return Four + "[[expect]]\n" + body; }

struct Refused {
    const char* rule;
    std::string text;
    std::string mention;
};

TEST(ScenarioRules, EveryRefusalIsOneLineWithItsReason) {
    const std::vector<Refused> cases = {
        // [nodes]
        {"count below 2", "[nodes]\ncount = 1\n", "out of the range 2 to"},
        {"port 0", "[nodes]\nport = 0\n", "out of the range 1 to 65535"},
        {"port past 65535", "[nodes]\nport = 65536\n", "out of the range 1 to 65535"},
        {"contact without a port", "[nodes]\ncontact = \"127.0.0.1\"\n", "is not IP:PORT"},
        {"contact past the last port", "[nodes]\ncontact = \"127.0.0.1:65536\"\n", "is not IP:PORT"},
        {"addresses past the loopback range", "[nodes]\ncount = 4\nfirst_address = \"127.255.255.252\"\n",
         "do not fit in the loopback range"},
        {"quiet span 0", "[timing]\nquiet_ms = 0\n", "out of the range 1 to"},
        // [[group]]
        {"a group without a name", Four + "[[group]]\nfirst = 1\n", "needs a name"},
        {"a group named all", Four + "[[group]]\nname = \"all\"\nfirst = 1\n", "defined twice"},
        {"a group defined twice", Four + Two + "[[group]]\nname = \"a\"\nfirst = 3\n", "defined twice"},
        {"a range and a share", Four + "[[group]]\nname = \"g\"\nfirst = 1\nshare = 50\n", "exactly one of"},
        {"no way to name the nodes", Four + "[[group]]\nname = \"g\"\n", "exactly one of"},
        {"last before first", Four + "[[group]]\nname = \"g\"\nfirst = 3\nlast = 2\n", "last comes before first"},
        {"last without first", Four + "[[group]]\nname = \"g\"\nlast = 2\nrest = true\n", "'last' needs 'first'"},
        {"a share of an unknown group", Four + "[[group]]\nname = \"g\"\nshare = 50\nof = \"x\"\n",
         "unknown group 'x'"},
        {"of without a share", Four + "[[group]]\nname = \"g\"\nfirst = 1\nof = \"all\"\n", "'of' goes with 'share'"},
        {"rest = false", Four + "[[group]]\nname = \"g\"\nrest = false\n", "'rest' can only be true"},
        {"a share above 100 %", Four + "[[group]]\nname = \"g\"\nshare = 101\n", "out of the range"},
        // [[step]]: when it acts
        {"no action", Four + "[[step]]\nname = \"x\"\n", "needs do = one of"},
        {"two steps of one name", step("name = \"s\"\ndo = \"wait\"\n[[step]]\nname = \"s\"\ndo = \"wait\"\n"),
         "two steps are named 's'"},
        {"at and after", step("do = \"wait\"\nat = 1\nafter = 1\n"), "more than one of at, after, when"},
        {"at and when", step("do = \"wait\"\nat = 1\nwhen = \"quiet\"\nwithin = 5\n"), "more than one of at, after, when"},
        {"after and when", step("do = \"wait\"\nafter = 1\nwhen = \"quiet\"\nwithin = 5\n"),
         "more than one of at, after, when"},
        {"at before an earlier at", step("do = \"wait\"\nat = 2\n[[step]]\ndo = \"wait\"\nat = 1.5\n"),
         "time goes backwards"},
        {"an unknown condition", step("do = \"wait\"\nwhen = \"soon\"\nwithin = 5\n"), "when must be"},
        {"members without their count", step("do = \"wait\"\nwhen = \"members\"\nwithin = 5\n"), "needs members = M"},
        {"a condition without its bound", step("do = \"wait\"\nwhen = \"quiet\"\n"), "needs its bound"},
        {"within without when", step("do = \"wait\"\nwithin = 5\n"), "'within' goes with when"},
        {"members without when", step("do = \"wait\"\nmembers = 3\n"), "'members' goes with when"},
        {"of without when", step("do = \"wait\"\nof = \"a\"\n"), "'of' goes with when"},
        {"a negative after", step("do = \"wait\"\nafter = -1\n"), "out of the range"},
        // [[step]]: what it does
        {"a key of another action", step("do = \"wait\"\ncount = 1\n"), "unknown key 'count'"},
        {"an unknown join mode", step("do = \"join\"\nmode = \"fast\"\n"), "mode must be"},
        {"a join at a rate without one", step("do = \"join\"\nmode = \"rate\"\n"), "needs rate"},
        {"a leave without count or share", step("do = \"leave\"\n"), "needs count or share"},
        {"a crash with count and share", step("do = \"crash\"\ncount = 1\nshare = 10\n"), "do not go together"},
        {"a crash share above 100 %", step("do = \"crash\"\nshare = 150\n"), "out of the range"},
        {"a step of an unknown group", step("do = \"lines\"\ngroup = \"c\"\n"), "unknown group 'c'"},
        {"a loss without percent", step("do = \"loss\"\n"), "needs percent"},
        {"a negative loss", step("do = \"loss\"\npercent = -1\n"), "out of the range"},
        {"a loss between one group", step("do = \"loss\"\npercent = 5\nbetween = [\"a\"]\n"), "names two groups"},
        {"a loss between three groups", step("do = \"loss\"\npercent = 5\nbetween = [\"a\", \"b\", \"all\"]\n"),
         "names two groups"},
        {"a loss between an unknown group", step("do = \"loss\"\npercent = 5\nbetween = [\"a\", \"z\"]\n"),
         "unknown group 'z'"},
        {"empty types", step("do = \"loss\"\npercent = 5\ntypes = \"\"\n"), "at least one datagram type"},
        {"a partition without groups", step("do = \"partition\"\n"), "needs groups"},
        {"a partition of one group", step("do = \"partition\"\ngroups = [\"a\"]\n"), "names two groups"},
        {"a heal of one group", step("do = \"heal\"\ngroups = [\"a\"]\n"), "names two groups"},
        // Snapshots: their folder stays in tables/.
        {"as empty", step("do = \"snapshot\"\nas = \"\"\n"), "names a folder of tables/"},
        {"as ..", step("do = \"snapshot\"\nas = \"..\"\n"), "names a folder of tables/"},
        {"as .", step("do = \"snapshot\"\nas = \".\"\n"), "names a folder of tables/"},
        {"as with a slash", step("do = \"snapshot\"\nas = \"../../x\"\n"), "names a folder of tables/"},
        {"as with a backslash", step("do = \"snapshot\"\nas = \"a\\\\b\"\n"), "names a folder of tables/"},
        {"a name that climbs out", step("name = \"../../x\"\ndo = \"snapshot\"\n"), "names its folder of tables/"},
        {"a name ..", step("name = \"..\"\ndo = \"snapshot\"\nevery = 1\n"), "names its folder of tables/"},
        {"an empty name", step("name = \"\"\ndo = \"snapshot\"\n"), "a step's name must not be empty"},
        {"an empty name of another step", step("name = \"\"\ndo = \"wait\"\n"), "a step's name must not be empty"},
        {"until an unknown step", step("do = \"snapshot\"\nevery = 1\nuntil = \"nowhere\"\n"), "nowhere"},
        {"every below its bound", step("do = \"snapshot\"\nevery = 0.001\n"), "out of the range"},
        // Churn models.
        {"an unknown model", churn("model = \"zipf\"\nmean = 5\nduration = 10\n"), "model must be"},
        {"a churn without a mean", churn("duration = 10\n"), "needs mean"},
        {"a churn without a duration", churn("mean = 5\n"), "needs duration"},
        {"a Weibull model without a shape", churn("model = \"weibull\"\nmean = 5\nduration = 10\n"), "needs shape"},
        {"a Pareto shape of 1", churn("model = \"pareto\"\nmean = 5\nshape = 1\nduration = 10\n"), "above 1"},
        {"a Pareto shape below 1", churn("model = \"pareto\"\nmean = 5\nshape = 0.5\nduration = 10\n"), "above 1"},
        {"a shape for the exponential model", churn("mean = 5\nshape = 2\nduration = 10\n"), "has no shape"},
        {"a crash share above 100 %", churn("mean = 5\nduration = 10\ncrash_share = 120\n"), "out of the range"},
        // [[expect]]
        {"no check", expect("name = \"x\"\n"), "needs check = one of"},
        {"an unknown check", expect("check = \"speed\"\n"), "needs check = one of"},
        {"delivery without a bound", expect("check = \"delivery\"\n"), "needs at_least or at_most"},
        {"joins without a bound", expect("check = \"joins\"\n"), "needs at_least or at_most"},
        {"a ring with a bound", expect("check = \"ring\"\nat_least = 1\n"), "takes no bound"},
        {"steps of another check", expect("check = \"joins\"\nat_least = 90\nsteps = [\"x\"]\n"),
         "'steps' goes with check = \"delivery\""},
        {"a delivery above 100 %", expect("check = \"delivery\"\nat_least = 101\n"), "out of the range"},
        {"an unknown snapshot", expect("check = \"ring\"\nsnapshot = \"never\"\n"), "never"},
        {"a periodic snapshot", step("name = \"tick\"\ndo = \"snapshot\"\nevery = 1\n[[expect]]\ncheck = \"ring\"\nsnapshot = \"tick\"\n"),
         "names the periodic snapshot 'tick', whose takes are 'tick-1'"},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.rule);
        try {
            parseScenario(c.text, "s.toml");
            ADD_FAILURE() << "accepted:\n"
                          << c.text;
        } catch (const ScenarioError& e) {
            const std::string message = e.what();
            EXPECT_TRUE(message.starts_with("s.toml:")) << message;
            EXPECT_NE(message.find(c.mention), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
    }
}

// The edges a rule lets through: each of these files is read.
TEST(ScenarioRules, TheEdgesOfEachRangeAreAccepted) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"a step at the time of the step before", step("do = \"wait\"\nat = 1\n[[step]]\ndo = \"wait\"\nat = 1\n")},
        {"a group up to the last node", Four + "[[group]]\nname = \"g\"\nfirst = 2\nlast = 4\n"},
        {"a group of one node", Four + "[[group]]\nname = \"g\"\nfirst = 4\n"},
        {"the last port", "[nodes]\ncount = 2\nport = 65534\n"},
        {"addresses up to the end of the loopback range", "[nodes]\ncount = 4\nfirst_address = \"127.255.255.251\"\n"},
        {"a Pareto shape just above 1", churn("model = \"pareto\"\nmean = 5\nshape = 1.01\nduration = 10\n")},
        {"loss of 100 %", step("do = \"loss\"\npercent = 100\n")},
        {"a crash share of 0 %", step("do = \"crash\"\nshare = 0\n")},
        {"a snapshot name with dots inside", step("name = \"a..b\"\ndo = \"snapshot\"\n")},
        {"as with dots inside", step("do = \"snapshot\"\nas = \"x.y\"\n")},
    };
    for (const auto& [rule, text] : cases) {
        SCOPED_TRACE(rule);
        EXPECT_NO_THROW(parseScenario(text, "s.toml")) << text;
    }
}

TEST(ScenarioRules, EachKeyLeftOutTakesItsDefault) {
    // The tables left out.
    const Scenario bare = parseScenario("", "bare.toml");
    EXPECT_EQ(bare.seed, 1u);
    EXPECT_EQ(bare.nodes, 10);
    EXPECT_EQ(bare.firstAddress, "127.77.0.1");
    EXPECT_EQ(bare.port, 50000);
    EXPECT_EQ(bare.contact, "");
    EXPECT_FALSE(bare.hostNetwork);
    EXPECT_EQ(bare.joinTimeoutMs, 3000);
    EXPECT_EQ(bare.settleTimeoutMs, 20000);
    EXPECT_EQ(bare.quietMs, 200);

    // A step's name, trigger and group; a join's mode; a line's count.
    const Scenario s = parseScenario(step("do = \"join\"\n[[step]]\ndo = \"lines\"\n[[step]]\ndo = \"snapshot\"\n"
                                          "[[step]]\ndo = \"wait\"\nwhen = \"members\"\nmembers = 3\nwithin = 2\n"),
                                     "s.toml");
    ASSERT_EQ(s.steps.size(), 4u);
    EXPECT_EQ(s.steps[0].name, "join_1");
    EXPECT_EQ(s.steps[1].name, "lines_2");
    EXPECT_EQ(s.steps[0].trigger.kind, Trigger::Kind::After);
    EXPECT_EQ(s.steps[0].trigger.ms, 0);
    EXPECT_EQ(s.steps[0].group, "all");
    EXPECT_EQ(s.steps[0].mode, "one-by-one");
    EXPECT_EQ(s.steps[1].count, 1);
    EXPECT_EQ(s.steps[1].rate, 0);
    EXPECT_EQ(s.steps[2].snapshotName(), "snapshot_3");
    EXPECT_EQ(s.steps[2].everyS, 0);
    EXPECT_EQ(s.steps[3].trigger.group, "all");
    EXPECT_EQ(s.steps[3].trigger.withinMs, 2000);

    // A share drawn from all; a churn model's optional keys.
    const Scenario g = parseScenario(Four + "[[group]]\nname = \"g\"\nshare = 50\n", "g.toml");
    EXPECT_EQ(g.group("g")->of, "all");
    const Scenario c = parseScenario(churn("mean = 5\nduration = 10\n"), "c.toml");
    const ChurnModel& m = c.steps[0].churn;
    EXPECT_EQ(m.distribution, "exponential");
    EXPECT_EQ(m.crashShare, 0);
    EXPECT_FALSE(m.rejoin);
    EXPECT_EQ(m.pauseS, 5);

    // An expectation's name, snapshot and bound.
    const Scenario e = parseScenario(Four + "[[expect]]\ncheck = \"components\"\n[[expect]]\ncheck = \"dangling_next\"\n"
                                            "[[expect]]\ncheck = \"ring\"\n[[expect]]\ncheck = \"delivery\"\nat_least = 90\n",
                                     "e.toml");
    ASSERT_EQ(e.expectations.size(), 4u);
    EXPECT_EQ(e.expectations[0].name, "components_1");
    EXPECT_EQ(e.expectations[0].snapshot, "end");
    EXPECT_EQ(e.expectations[0].atMost, std::optional<double>(1));
    EXPECT_FALSE(e.expectations[0].atLeast);
    EXPECT_EQ(e.expectations[1].atMost, std::optional<double>(0));
    EXPECT_FALSE(e.expectations[2].atMost || e.expectations[2].atLeast);
    EXPECT_TRUE(e.expectations[3].steps.empty());  // all lines
    EXPECT_FALSE(e.expectations[3].atMost);
}

}  // namespace
}  // namespace palaver::lab::test
