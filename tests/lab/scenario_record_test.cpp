// One scenario run whose record is held against what it says the run did
// and against the analyzer's reading of the same folder: periodic
// snapshots from their step until the step named to end them, a share of
// a group's live nodes rounded to the nearest node, and every snapshot's
// health as the analyzer works it out from the tables the run wrote, and
// the verdict against the report: the same lowest delivery, the same
// dangling links.
#include <map>

#include "run_support.h"

namespace palaver::lab::test {
namespace {

using nlohmann::json;

const char* RecordScenario = R"(
seed = 9
[nodes]
count = 7
[timing]
quiet_ms = 300
[[group]]
name = "a"
first = 1
last = 3
[[group]]
name = "b"
rest = true
[[step]]
do = "start"
[[step]]
do = "join"
[[step]]
name = "ticks"
do = "snapshot"
as = "tick"
every = 0.4
until = "halt"
[[step]]
do = "lines"
group = "a"
count = 2
[[step]]
name = "halt"
do = "wait"
after = 0.5
[[step]]
name = "cut"
do = "crash"
group = "b"
share = 40
[[step]]
name = "after"
do = "snapshot"
[[expect]]
name = "talk"
check = "delivery"
steps = ["lines_4"]
at_least = 50
[[expect]]
name = "dangling"
check = "dangling_next"
snapshot = "after"
at_least = 1
)";

const json& stepNamed(const json& record, const std::string& name) {
    for (const json& s : record["steps"]) {
        if (s["name"] == name) return s;
    }
    throw std::runtime_error("no step " + name);
}

TEST(ScenarioRecord, SnapshotsSharesAndHealthAreWhatTheFilesShow) {
    TempDir logs;
    const fs::path file = logs / "record.toml";
    std::ofstream(file) << RecordScenario;
    const fs::path out = logs / "run";
    Finished f = runLab({"run", file.string(), "--out", out.string()}, logs);
    ASSERT_EQ(f.status, 0) << f.out << f.err;
    const json r = runRecord(out);

    // One process held every node: no ranks, in the run or its phases.
    EXPECT_FALSE(r.contains("ranks"));
    for (const json& p : r["phases"]) EXPECT_FALSE(p.contains("ranks")) << p;

    // 40 % of the four live nodes of b is 1.6 nodes: two crash.
    EXPECT_EQ(stepNamed(r, "cut")["crashed"].size(), 2u) << stepNamed(r, "cut");

    // The periodic snapshot: the first at once when its step acts, then one
    // every 0.4 s (tick-1, tick-2, ...), none once the step named by until
    // has begun.
    const json& ticks = stepNamed(r, "ticks");
    const int64_t halt = stepNamed(r, "halt")["start_ms"];
    std::vector<int64_t> tickMs;
    for (const json& s : r["snapshots"]) {
        if (s["name"].get<std::string>().starts_with("tick-")) tickMs.push_back(s["ms"]);
    }
    ASSERT_GE(tickMs.size(), 2u) << r["snapshots"];
    EXPECT_LT(tickMs[0] - ticks["action_ms"].get<int64_t>(), 200) << "the first tick waited for its period";
    for (std::size_t k = 1; k < tickMs.size(); ++k) EXPECT_GE(tickMs[k] - tickMs[k - 1], 400) << k;
    EXPECT_LE(tickMs.back(), halt) << "a tick after the step that ends them began";
    // The run goes on for a while after halt (the crashes, a snapshot, the
    // stop), long enough for a tick that was not ended to show.
    EXPECT_GE(r["end_ms"].get<int64_t>() - halt, 500);

    // Each snapshot's health as the analyzer reads it from the tables.
    Finished a = runLab({"analyze", out.string(), "--out", (logs / "report").string(), "--no-pictures"}, logs, "analyze");
    ASSERT_EQ(a.status, 0) << a.err;
    const auto rows = csvRows(logs / "report" / "health.csv");
    ASSERT_FALSE(rows.empty());
    std::map<std::string, std::size_t> column;
    for (std::size_t c = 0; c < rows[0].size(); ++c) column[rows[0][c]] = c;
    std::size_t compared = 0;
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const auto& row = rows[k];
        if (row.size() != rows[0].size()) continue;
        for (const json& s : r["snapshots"]) {
            if (s["name"] != row[column.at("snapshot")] || std::to_string(s["ms"].get<int64_t>()) != row[column.at("ms")]) {
                continue;
            }
            SCOPED_TRACE(row[column.at("snapshot")] + " at " + row[column.at("ms")]);
            const json& h = s["health"];
            for (const char* key : {"live", "ring_cycles", "dangling_next", "components", "unreachable_pairs"}) {
                EXPECT_EQ(row[column.at(key)], std::to_string(h[key].get<int64_t>())) << key;
            }
            EXPECT_EQ(row[column.at("ring_intact")], h["ring_intact"].get<bool>() ? "1" : "0");
            ++compared;
        }
    }
    EXPECT_EQ(compared, r["snapshots"].size()) << "a snapshot missing from health.csv";

    // The verdict measures what the report shows: the lowest delivery of
    // the step's lines (steps.csv), the dangling links of its snapshot
    // (health.csv).
    const json& checks = r["verdict"]["checks"];
    ASSERT_EQ(checks.size(), 2u) << r["verdict"];
    const auto steps = csvRows(logs / "report" / "steps.csv");
    ASSERT_EQ(steps.size(), 2u);
    ASSERT_EQ(steps[1][0], "lines_4");
    EXPECT_NEAR(checks[0]["value"].get<double>(), 100 * std::stod(steps[1][4]), 1e-9) << checks[0];
    for (std::size_t k = 1; k < rows.size(); ++k) {
        if (rows[k][column.at("snapshot")] != "after") continue;
        EXPECT_EQ(std::to_string(checks[1]["value"].get<int64_t>()), rows[k][column.at("dangling_next")]) << checks[1];
    }
    // After the crashes the live nodes that pointed at them dangle.
    const json& last = r["snapshots"].back();
    EXPECT_EQ(last["name"], "after");
    EXPECT_GE(last["health"]["dangling_next"].get<int64_t>(), 1) << last;
}

}  // namespace
}  // namespace palaver::lab::test
