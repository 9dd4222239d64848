// One real lab run of twelve nodes, analysed from its folder: every typed
// line reaches every node, and the copies in the logs follow the count rule
// of flooding: the originator's copy to itself, then every node that accepts
// sends to next, back and each random peer.
#include <gtest/gtest.h>

#include "analyze/analyze_model.h"
#include "analyze_support.h"

namespace palaver::labtest {
namespace {

// Random peers in a status report, read line by line: entries other than "@0".
std::size_t randomCount(const std::string& report) {
    std::size_t n = 0;
    std::size_t pos = 0;
    while ((pos = report.find("Random[", pos)) != std::string::npos) {
        std::size_t comma = report.find(',', pos);
        std::size_t end = report.find(',', comma + 1);
        std::string value = report.substr(comma + 1, end - comma - 1);
        if (value != "@0" && !value.empty()) ++n;
        pos = end;
    }
    return n;
}

TEST(AnalyzeLabRun, TwelveNodesReliableWithTheCopyCountOfFlooding) {
    test::TempDir dir;
    const fs::path run = dir / "run";
    Outcome o = runCommand(lab() + " run --nodes 12 --seed 5 --lines 4 --out '" + run.string() + "'", dir.path());
    ASSERT_EQ(o.status, 0) << o.err;

    // Copies per line from the built tables, counted here from the files.
    std::size_t perLine = 1;
    std::size_t tables = 0;
    for (const auto& entry : fs::directory_iterator(run / "tables/built")) {
        perLine += 2 + randomCount(test::readFile(entry.path()).value_or(""));
        ++tables;
    }
    ASSERT_EQ(tables, 12u);

    lab::Analysis a = lab::analyzeRun(lab::loadRun({run.string()}));
    ASSERT_TRUE(a.run.hasRunJson);
    EXPECT_EQ(a.run.badLines, 0u);
    EXPECT_EQ(a.joinsCompleted, 12u);
    std::size_t typed = 0;
    for (const lab::Trace& t : a.traces) {
        if (t.kind != "typed") continue;
        ++typed;
        EXPECT_EQ(t.phase, "lines");
        EXPECT_EQ(t.alive, 12u);
        EXPECT_DOUBLE_EQ(t.reliability, 1.0) << t.originator << " " << t.sequence;
        EXPECT_EQ(t.copies, perLine) << t.originator << " " << t.sequence;
        ASSERT_TRUE(t.rmr);
        EXPECT_NEAR(*t.rmr, (static_cast<double>(perLine) - 1) / 11.0 - 1, 1e-9);
        EXPECT_EQ(t.snapshot, "built");
        EXPECT_GE(*t.stretch, 1.0 - 1e-9);
    }
    EXPECT_EQ(typed, a.run.lines.size());
    EXPECT_GE(typed, 4u);
    ASSERT_FALSE(a.topology.empty());
    EXPECT_TRUE(a.topology.front().ringIntact);

    // And the command writes its report for the run.
    Outcome r = runCommand(lab() + " analyze '" + run.string() + "' --out '" + (dir / "report").string() + "'",
                           dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = readCsv(dir / "report/messages.csv");
    std::size_t complete = 0;
    for (const Row& row : rows) complete += row.at("kind") == "typed" && row.at("reliability") == "1";
    EXPECT_EQ(complete, typed);
}

}  // namespace
}  // namespace palaver::labtest
