// Churn models against what they promise: session lengths with the mean
// the model names, the crash share among the ended sessions, and rejoins
// only after their pause and within the model's duration.
#include <gtest/gtest.h>

#include "run/churn.h"
#include "run/seeds.h"

namespace palaver::lab {
namespace {

TEST(ChurnSchedule, DrawsFollowTheModel) {
    struct Case {
        const char* distribution;
        double shape;
    };
    // 40000 draws: the sample mean is within 3 % of the model's mean for
    // each distribution (the Pareto shape 3 keeps its variance finite).
    for (const Case& c : std::vector<Case>{{"exponential", 1}, {"pareto", 3}, {"weibull", 0.7}}) {
        SCOPED_TRACE(c.distribution);
        ChurnModel m;
        m.distribution = c.distribution;
        m.shape = c.shape;
        m.meanS = 12;
        std::mt19937_64 random = generatorFor(77, Choice::Sessions);
        double sum = 0;
        const int draws = 40000;
        for (int k = 0; k < draws; ++k) sum += drawSessionSeconds(m, random);
        EXPECT_NEAR(sum / draws, 12.0, 0.36);
    }

    // Sessions of 2 s on average over 60 s, a quarter of them ending in a
    // crash, each node back after a pause of 1 s on average.
    ChurnModel m;
    m.distribution = "exponential";
    m.meanS = 2;
    m.crashShare = 25;
    m.rejoin = true;
    m.pauseS = 1;
    m.durationS = 60;
    std::vector<std::size_t> nodes;
    for (std::size_t i = 0; i < 100; ++i) nodes.push_back(i);
    const std::vector<ChurnSession> schedule = drawChurnSchedule(m, nodes, 5, 1);
    std::size_t crashes = 0;
    std::size_t ends = 0;
    for (std::size_t k = 0; k < schedule.size(); ++k) {
        const ChurnSession& s = schedule[k];
        if (s.end.empty()) continue;
        ++ends;
        crashes += s.end == "crash";
        if (!s.rejoinMs) continue;
        EXPECT_GT(*s.rejoinMs, s.startMs + s.lengthMs);
        EXPECT_LT(*s.rejoinMs, 60000);
        ASSERT_LT(k + 1, schedule.size());
        EXPECT_EQ(schedule[k + 1].startMs, *s.rejoinMs);
    }
    ASSERT_GT(ends, 1000u);
    EXPECT_NEAR(static_cast<double>(crashes) / static_cast<double>(ends), 0.25, 0.03);
}

// Each churn step (its stream) and each node draws on its own: the same
// seed, step and node give the same sessions whatever else is in the group,
// and another step, node or seed gives others.
TEST(ChurnSchedule, EachStepAndNodeDrawsItsOwnSessions) {
    ChurnModel m;
    m.meanS = 3;
    m.durationS = 600;
    m.rejoin = true;
    const auto lengths = [&](std::vector<std::size_t> nodes, uint64_t seed, uint32_t stream, std::size_t node) {
        std::vector<int64_t> out;
        for (const ChurnSession& s : drawChurnSchedule(m, nodes, seed, stream)) {
            if (s.node == node) out.push_back(s.lengthMs);
        }
        return out;
    };
    const std::vector<int64_t> first = lengths({4}, 9, 1, 4);
    ASSERT_GT(first.size(), 10u);
    EXPECT_EQ(lengths({2, 4, 7}, 9, 1, 4), first) << "the other members changed its draws";
    EXPECT_NE(lengths({4}, 9, 2, 4), first) << "the next churn step drew the same sessions";
    EXPECT_NE(lengths({5}, 9, 1, 5), first) << "another node drew the same sessions";
    EXPECT_NE(lengths({4}, 10, 1, 4), first) << "another seed drew the same sessions";
    EXPECT_NE(lengths({4}, 9 + (uint64_t{1} << 32), 1, 4), first) << "the seed's high half was ignored";
}

}  // namespace
}  // namespace palaver::lab
