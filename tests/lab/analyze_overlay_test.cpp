// The analyzer on real logs: twelve nodes of this process build an overlay,
// type lines and stop; their folder is read like one collected from palaver
// windows (logs and closing reports, no run.json).
#include <gtest/gtest.h>

#include "analyze/analyze_model.h"
#include "analyze_support.h"
#include "overlay_support.h"

namespace palaver::lab {
namespace {

using overlay::LiveNode;

TEST(AnalyzeRealOverlay, TwelveNodesEveryLineEverywhereAndCopiesFollowTheTables) {
    test::TempDir dir;
    std::vector<std::unique_ptr<LiveNode>> nodes;
    std::vector<LiveNode*> overlayNodes;
    for (int i = 0; i < 12; ++i) {
        nodes.push_back(overlay::startLiveNode(dir.str()));
        if (i > 0) {
            std::vector<LiveNode*> members = overlayNodes;
            members.push_back(nodes.back().get());
            ASSERT_TRUE(overlay::joinAndSettle(*nodes.back(), *nodes[static_cast<std::size_t>(i / 2)], members))
                << "join " << i;
        }
        overlayNodes.push_back(nodes.back().get());
    }
    // Every accepting node sends the line on to next, back and each random
    // peer, and the originator first sends it to itself.
    std::size_t perLine = 1;
    for (LiveNode* n : overlayNodes) perLine += 2 + static_cast<std::size_t>(n->now().state.table.randomCount);
    const std::vector<std::string> texts = {"first line", "second, with a comma", "third"};
    for (std::size_t k = 0; k < texts.size(); ++k) {
        ASSERT_TRUE(overlay::chatAndSettle(*nodes[k * 5], texts[k], overlayNodes));
    }
    // Duplicates may still be on their way when every node holds a line.
    auto copiesLogged = [&] {
        std::size_t n = 0;
        for (LiveNode* node : overlayNodes) {
            for (const std::string& line : overlay::logLines(*node, 'S')) {
                for (const std::string& t : texts) n += line.find("`" + t + "`") != std::string::npos;
            }
        }
        return n;
    };
    EXPECT_TRUE(overlay::eventually([&] { return copiesLogged() == perLine * texts.size(); }))
        << copiesLogged() << " copies logged";
    nodes.clear();  // stops every node: logs closed, closing reports written

    Analysis a = analyzeRun(loadRun({dir.str()}));
    EXPECT_EQ(a.run.nodes.size(), 12u);
    EXPECT_EQ(a.run.badLines, 0u);
    std::size_t typed = 0, greetings = 0;
    for (const Trace& t : a.traces) {
        if (t.kind == "greeting") {
            ++greetings;
            EXPECT_EQ(t.text, "Hello");
            continue;
        }
        ++typed;
        EXPECT_DOUBLE_EQ(t.reliability, 1.0) << t.text;
        EXPECT_EQ(t.accepts.size(), 12u) << t.text;
        EXPECT_EQ(t.copies, perLine) << t.text;
        ASSERT_TRUE(t.rmr);
        EXPECT_NEAR(*t.rmr, (static_cast<double>(perLine) - 1) / 11.0 - 1, 1e-9);
        ASSERT_TRUE(t.shortestMean);
        EXPECT_EQ(t.unreachable, 0u);
        // No copy can arrive in fewer hops than the shortest path allows.
        EXPECT_GE(*t.meanHops + 1e-9, *t.shortestMean) << t.text;
        EXPECT_GE(*t.stretch, 1.0 - 1e-9);
    }
    EXPECT_EQ(typed, texts.size());
    EXPECT_EQ(greetings, 11u);  // one per newcomer
    ASSERT_EQ(a.topology.size(), 1u);
    EXPECT_TRUE(a.topology[0].ringIntact) << (a.topology[0].brokenLinks.empty() ? "" : a.topology[0].brokenLinks[0]);
    EXPECT_EQ(a.topology[0].live, 12u);
    EXPECT_EQ(a.topology[0].components, 1u);
    EXPECT_EQ(a.topology[0].unreachablePairs, 0u);
}

}  // namespace
}  // namespace palaver::lab
