// What a sequence of loss, partition and heal steps leaves in force: the
// drop rules and run.json's record of them. A pair of groups is the same
// pair in either order, so every symmetric action is played both ways.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/conditions.h"
#include "net/rules.h"

namespace palaver::lab {
namespace {

StepSpec step(const std::string& action, std::vector<std::string> groups = {}, double percent = 0,
              const std::string& types = "") {
    StepSpec s;
    s.action = action;
    if (action == "loss") {
        s.between = std::move(groups);
    } else {
        s.groups = std::move(groups);
    }
    s.percent = percent;
    s.types = types;
    return s;
}

// The rules as text: "from>to share tag types" per rule, set names as the
// groups' own.
std::string rulesOf(const NetworkConditions& c) {
    std::string text;
    for (const DropRule& d : c.drops([](const std::string& g) { return g; })) {
        text += d.from + ">" + d.to + " " + std::to_string(d.share) + " " + d.tag + " " + d.types + ";";
    }
    return text;
}

NetworkConditions play(const std::vector<StepSpec>& steps) {
    NetworkConditions c;
    for (const StepSpec& s : steps) c.apply(s);
    return c;
}

TEST(NetworkConditions, APairOfGroupsIsThePairInEitherOrder) {
    const std::vector<std::string> ab{"a", "b"}, ba{"b", "a"};
    struct Case {
        const char* what;
        std::vector<StepSpec> steps;
        std::string rules;
    };
    const std::vector<Case> cases = {
        {"a partition drops both ways", {step("partition", ab)}, "a>b 10000 partition ;b>a 10000 partition ;"},
        {"healed in its own order", {step("partition", ab), step("heal", ab)}, ""},
        {"healed in the other order", {step("partition", ab), step("heal", ba)}, ""},
        {"healed in the other order, cut the other way", {step("partition", ba), step("heal", ab)}, ""},
        {"a heal of other groups leaves it", {step("partition", ab), step("heal", {"a", "c"})}, "a>b 10000 partition ;b>a 10000 partition ;"},
        {"a heal without groups ends every partition",
         {step("partition", ab), step("partition", {"a", "c"}), step("heal")},
         ""},
        {"loss between two groups goes both ways", {step("loss", ab, 20)}, "a>b 2000 loss ;b>a 2000 loss ;"},
        {"loss named again in the other order ends it", {step("loss", ab, 20), step("loss", ba, 0)}, ""},
        {"loss named again in its own order ends it", {step("loss", ba, 20), step("loss", ba, 0)}, ""},
        {"loss named again in the other order replaces it", {step("loss", ab, 20), step("loss", ba, 30)}, "b>a 3000 loss ;a>b 3000 loss ;"},
        {"typed loss named again in the other order ends it",
         {step("loss", ab, 50, "B"), step("loss", ba, 0, "B")},
         ""},
        {"typed loss is kept apart from other types and from untyped loss",
         {step("loss", ab, 50, "B"), step("loss", ba, 10, "x"), step("loss", ab, 5)},
         "a>b 500 loss ;b>a 500 loss ;a>b 5000 loss B;b>a 5000 loss B;b>a 1000 loss x;a>b 1000 loss x;"},
        {"typed loss everywhere, then ended", {step("loss", {}, 50, "Nn"), step("loss", {}, 0, "Nn")}, ""},
        {"loss on all traffic comes last, replaced by the next",
         {step("loss", {}, 7), step("partition", ab), step("loss", {}, 2)},
         "a>b 10000 partition ;b>a 10000 partition ;> 200 loss ;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(rulesOf(play(c.steps)), c.rules);
    }
}

TEST(NetworkConditions, TheRecordSaysWhatIsInForce) {
    const NetworkConditions c = play({step("loss", {}, 3), step("partition", {"a", "b"}), step("loss", {"a", "c"}, 10),
                                      step("loss", {"c", "a"}, 12), step("loss", {"b", "c"}, 4, "B"),
                                      step("loss", {}, 9, "x")});
    EXPECT_EQ(c.state().dump(), R"({"loss":3.0,"loss_between":[{"groups":["c","a"],"loss":12.0}],)"
                                R"("loss_types":[{"types":"B","loss":4.0,"groups":["b","c"]},{"types":"x","loss":9.0}],)"
                                R"("partitions":[["a","b"]]})");
    // Shares below a hundredth of a percent drop nothing and are not listed.
    const NetworkConditions tiny = play({step("loss", {"a", "b"}, 0.004)});
    EXPECT_EQ(rulesOf(tiny), "");
    EXPECT_TRUE(tiny.state()["loss_between"].empty());
}

// A percentage becomes hundredths of a percent by rounding, not truncation,
// and stays within 0 to 100 %.
TEST(NetworkConditions, PercentagesBecomeSharesByRounding) {
    const std::vector<std::pair<double, int>> cases = {{0.29, 29}, {0.57, 57}, {1.15, 115}, {0.005, 1}, {0.004, 0}, {33.333, 3333}, {100, 10000}, {120, 10000}, {-1, 0}};
    for (const auto& [percent, share] : cases) EXPECT_EQ(dropShare(percent), share) << percent;
}

}  // namespace
}  // namespace palaver::lab
