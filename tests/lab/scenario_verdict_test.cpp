// A scenario's verdict judged on the right numbers: a delivery check over
// several steps takes the worst line of them all, and the joins check
// counts the newcomers only (the first node has no join to finish).
#include <fstream>

#include "run_support.h"

namespace palaver::lab::test {
namespace {

using nlohmann::json;

// Six nodes cut in halves: a line typed during the cut reaches at most the
// three of its side, the lines before it reach all six.
const char* VerdictScenario = R"(
seed = 3
[nodes]
count = 6
[timing]
quiet_ms = 500
[[group]]
name = "west"
first = 1
last = 3
[[group]]
name = "east"
rest = true
[[step]]
do = "start"
[[step]]
do = "join"
[[step]]
name = "before"
do = "lines"
count = 2
when = "quiet"
within = 30
[[step]]
name = "cut"
do = "partition"
groups = ["west", "east"]
[[step]]
name = "during"
do = "lines"
count = 2
[[step]]
name = "heal"
do = "heal"
[[expect]]
name = "newcomers joined"
check = "joins"
at_least = 100
[[expect]]
name = "before reaches all"
check = "delivery"
steps = ["before"]
at_least = 100
[[expect]]
name = "every line reaches all"
check = "delivery"
steps = ["before", "during"]
at_least = 100
)";

TEST(Verdict, TheWorstLineOfEveryStepAndTheNewcomersJoins) {
    TempDir logs;
    const fs::path file = logs / "verdict.toml";
    std::ofstream(file) << VerdictScenario;
    const fs::path out = logs / "run";
    Finished f = runLab({"run", file.string(), "--out", out.string()}, logs);
    EXPECT_EQ(f.status, 1) << f.out << f.err;
    const json r = runRecord(out);
    ASSERT_TRUE(r.is_object()) << f.err;
    const json& checks = r["verdict"]["checks"];
    ASSERT_EQ(checks.size(), 3u);
    // Five newcomers, five joined.
    EXPECT_EQ(checks[0]["pass"], true) << checks[0];
    EXPECT_EQ(checks[0]["value"], 100.0) << checks[0];
    EXPECT_EQ(checks[1]["pass"], true) << checks[1];
    // The lines during the cut reach half the nodes at most.
    EXPECT_EQ(checks[2]["pass"], false) << checks[2];
    EXPECT_LE(checks[2]["value"].get<double>(), 50.0) << checks[2];
    EXPECT_EQ(r["verdict"]["passed"], false);
}

}  // namespace
}  // namespace palaver::lab::test
