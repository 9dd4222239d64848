// The lab's nftables rules read back by meaning: nft's JSON listing, with
// protocol names or numbers, confirms the rules the lab made and refuses
// any other.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "process.h"
#include "rules.h"
#include "run_support.h"

namespace palaver::lab::test {
namespace {

RuleSet sample() {
    RuleSet r;
    r.own = {"127.9.0.1", "127.9.0.2", "127.9.0.3", "127.9.0.4"};
    r.sets = {{"g1", {"127.9.0.1", "127.9.0.2"}}, {"g2", {"127.9.0.3", "127.9.0.4"}}};
    r.drops = {{"g1", "g2", 10000}, {"g2", "g1", 10000}, {"g1", "g2", 500}, {"", "", dropShare(2.5)}};
    return r;
}

// Loads the rules into a network namespace of a child and returns nft's
// JSON listing, with protocol names, or with numbers as nft prints them where
// /etc/protocols is missing. As the lab does: root makes the network
// namespace alone, anyone else inside a user namespace (which a chroot, as
// in a freshly made root, does not allow).
std::string listedByNft(const RuleSet& rules, bool numericProtocol) {
    const std::string nft = nftProgram();
    const std::string list = nft + (numericProtocol ? " -j -p" : " -j") + " list table ip palaver_lab";
    ProgramResult r = runProgram({"unshare", ::geteuid() == 0 ? "-n" : "-rn", "sh", "-c", nft + " -f - && " + list},
                                 rulesetScript(rules));
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
}

TEST(Rules, BothFormsOfTheListingConfirmTheRules) {
    ASSERT_NE(nftProgram(), "") << "nft is missing (Debian package nftables)";
    const RuleSet rules = sample();
    const std::string named = listedByNft(rules, false);
    const std::string numbered = listedByNft(rules, true);
    ASSERT_NE(named.find("\"udp\""), std::string::npos) << named;
    ASSERT_EQ(numbered.find("\"udp\""), std::string::npos) << numbered;
    ASSERT_NE(numbered.find("\"right\": 17"), std::string::npos) << numbered;
    EXPECT_EQ(confirmRuleset(named, rules), "");
    EXPECT_EQ(confirmRuleset(numbered, rules), "");

    // Every other rule set is refused by each form.
    std::vector<std::pair<const char*, RuleSet>> others;
    RuleSet r = rules;
    r.drops[2].share = 501;
    others.push_back({"another share", r});
    r = rules;
    r.drops.pop_back();
    others.push_back({"a rule fewer", r});
    r = rules;
    std::swap(r.drops[0].from, r.drops[0].to);
    others.push_back({"the other direction", r});
    r = rules;
    r.sets[0].ips.push_back("127.9.0.5");
    others.push_back({"another set element", r});
    r = rules;
    r.own.pop_back();
    others.push_back({"a self pair fewer", r});
    r = rules;
    r.drops[3].share = 10000;
    others.push_back({"every datagram", r});
    for (const auto& [what, other] : others) {
        EXPECT_NE(confirmRuleset(named, other), "") << what;
        EXPECT_NE(confirmRuleset(numbered, other), "") << what;
    }
    EXPECT_NE(confirmRuleset("not json", rules), "");
    EXPECT_NE(confirmRuleset(R"({"nftables": []})", rules), "");
}

TEST(Rules, AnUnknownProtocolNumberIsNotUdp) {
    const RuleSet rules = sample();
    std::string numbered = listedByNft(rules, true);
    ASSERT_EQ(confirmRuleset(numbered, rules), "");
    nlohmann::json j = nlohmann::json::parse(numbered);
    for (auto& item : j["nftables"]) {
        if (item.contains("rule")) {
            item["rule"]["expr"][0]["match"]["right"] = 6;
            break;
        }
    }
    EXPECT_NE(confirmRuleset(j.dump(), rules), "");
}

}  // namespace
}  // namespace palaver::lab::test
