// The run driver's own rules: the quiet rule on a fed sequence of counts,
// the join timeout when it is far below the quiet span, and each kind of
// random choice kept apart from the others.
#include <algorithm>

#include "run/quiet.h"
#include "run_support.h"

namespace palaver::lab::test {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// Looks at the activity count at given times with a 200 ms span: quiet
// only once the count has stood still for the span since its last change.
TEST(QuietRule, TheSpanRunsFromTheLastChangeOfTheCount) {
    struct Look {
        int ms;
        uint64_t count;
        bool quiet;
    };
    const std::vector<Look> looks = {
        {100, 5, false},  // unchanged since 0, but only 100 ms
        {150, 6, false},  // changed: the span starts again at 150
        {300, 6, false},  // 150 ms since the change, 300 since the start
        {349, 6, false},
        {350, 6, true},  // 200 ms since the change
        {900, 6, true},
        {901, 7, false},  // a change ends the quiet
        {1100, 7, false},
        {1101, 7, true},
    };
    const auto t0 = QuietWatch::Clock::time_point{} + std::chrono::hours(1);
    QuietWatch watch(5, t0);
    for (const Look& l : looks) {
        EXPECT_EQ(watch.quiet(l.count, t0 + milliseconds(l.ms), milliseconds(200)), l.quiet) << "at " << l.ms << " ms";
    }
}

// Every datagram between nodes is lost and the quiet span is 20 s: only the
// 100 ms join timeout can end the joins, long before the overlay is quiet
// and before the 5 s bound of the other waits.
TEST(JoinTimeout, GivesUpTheJoinLongBeforeTheQuietSpan) {
    TempDir logs;
    const fs::path out = logs / "run";
    Finished f = runLab({"run", "--nodes", "3", "--lines", "0", "--loss", "100", "--quiet", "20000", "--join-timeout",
                         "100", "--settle-timeout", "5000", "--out", out.string()},
                        logs);
    ASSERT_EQ(f.status, 0) << f.err;
    const json r = runRecord(out);
    ASSERT_EQ(r["nodes"].size(), 3u);
    for (std::size_t i = 1; i < 3; ++i) {
        const json& n = r["nodes"][i];
        ASSERT_EQ(n["join"], "failed") << n;
        // The deadline the lab set is the join timeout's, and the join was
        // given up by it alone: the quiet span had not passed.
        EXPECT_EQ(n["join_deadline_ms"].get<int64_t>() - n["join_start_ms"].get<int64_t>(), 100) << n;
        EXPECT_EQ(n["join_given_up_by"], json::array({"timeout"})) << n;
        EXPECT_GE(n["join_given_up_ms"].get<int64_t>(), n["join_deadline_ms"].get<int64_t>()) << n;
    }
}

// Runs with one seed that differ in one kind of choice: fewer contacts drawn
// (the last newcomers join as a burst through one contact), or one line more
// before the crashes. The other kinds of choice stay as they were.
TEST(Seed, EachKindOfChoiceHasItsOwnStream) {
    TempDir logs;
    auto run = [&](const std::string& name, std::vector<std::string> extra) {
        const fs::path out = logs / name;
        std::vector<std::string> args{"run", Quiet, QuietMs, "--nodes", "7", "--crash", "3", "--seed", "23", "--out",
                                      out.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        Finished f = runLab(args, logs, name);
        EXPECT_EQ(f.status, 0) << f.err;
        return runRecord(out);
    };
    auto typists = [](const json& r) {
        std::vector<std::string> t;
        for (const json& l : r["lines"]) t.push_back(l["originator"]);
        return t;
    };
    auto fates = [](const json& r) {
        std::vector<std::string> f;
        for (const json& n : r["nodes"]) f.push_back(n["fate"]);
        return f;
    };
    auto contacts = [](const json& r) {
        std::vector<std::string> c;
        for (const json& n : r["nodes"]) c.push_back(n["contact"]);
        return c;
    };
    const json base = run("base", {"--lines", "4"});
    const json burst = run("burst", {"--lines", "4", "--burst", "4"});
    const json more = run("more", {"--lines", "5"});
    ASSERT_EQ(base["lines"].size(), 8u);
    const std::vector<std::string> baseFates = fates(base);
    const std::vector<std::string> baseTypists = typists(base);
    ASSERT_EQ(std::count(baseFates.begin(), baseFates.end(), "crashed"), 3);

    // Two contacts drawn instead of five: the same typists, the same crashes.
    EXPECT_NE(contacts(burst), contacts(base));
    EXPECT_EQ(typists(burst), baseTypists);
    EXPECT_EQ(fates(burst), baseFates);

    // One typist more before the crashes: the same contacts, the same
    // crashes, and the first four typists as before.
    EXPECT_EQ(contacts(more), contacts(base));
    EXPECT_EQ(fates(more), baseFates);
    const std::vector<std::string> t = typists(more);
    ASSERT_EQ(t.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 4),
              std::vector<std::string>(baseTypists.begin(), baseTypists.begin() + 4));
}

}  // namespace
}  // namespace palaver::lab::test
