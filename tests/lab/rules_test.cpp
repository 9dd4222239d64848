// The lab's nftables rules read back by meaning: nft's JSON listing, with
// protocol names or numbers, confirms the rules the lab made and refuses
// any other.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "net/network.h"
#include "process.h"
#include "net/rules.h"
#include "run_support.h"

namespace palaver::lab::test {
namespace {

RuleSet sample() {
    RuleSet r;
    r.own = {"127.9.0.1", "127.9.0.2", "127.9.0.3", "127.9.0.4"};
    r.sets = {{"g1", {"127.9.0.1", "127.9.0.2"}}, {"g2", {"127.9.0.3", "127.9.0.4"}}};
    r.drops = {{"g1", "g2", 10000, "partition", ""},
               {"g2", "g1", 10000, "partition", ""},
               {"g1", "g2", 500, "loss", ""},
               {"", "", dropShare(2.5), "loss", ""},
               {"", "g2", 10000, "loss", "BL"}};
    r.logGroup = 21;
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
    r = rules;
    r.logGroup = 0;
    others.push_back({"no log", r});
    r = rules;
    r.logGroup = 22;
    others.push_back({"another log group", r});
    r = rules;
    r.drops[1].tag = "loss";
    others.push_back({"another log prefix", r});
    r = rules;
    r.drops[4].types = "B";
    others.push_back({"a datagram type fewer", r});
    r = rules;
    r.drops[3].types = "S";
    others.push_back({"a datagram type where the rule has none", r});
    for (const auto& [what, other] : others) {
        EXPECT_NE(confirmRuleset(named, other), "") << what;
        EXPECT_NE(confirmRuleset(numbered, other), "") << what;
    }
    EXPECT_NE(confirmRuleset("not json", rules), "");
    EXPECT_NE(confirmRuleset(R"({"nftables": []})", rules), "");
}

TEST(Rules, ADropRuleThatDoesNotCountIsRefused) {
    const RuleSet rules = sample();
    nlohmann::json j = nlohmann::json::parse(listedByNft(rules, false));
    ASSERT_EQ(confirmRuleset(j.dump(), rules), "");
    EXPECT_EQ(readDropCounter(j.dump()), std::optional<uint64_t>(0));
    bool removed = false;
    for (auto& item : j["nftables"]) {
        if (!item.contains("rule") || removed) continue;
        auto& expr = item["rule"]["expr"];
        for (std::size_t k = 0; k < expr.size(); ++k) {
            if (expr[k].contains("counter")) {
                expr.erase(k);
                removed = true;
                break;
            }
        }
    }
    ASSERT_TRUE(removed);
    EXPECT_NE(confirmRuleset(j.dump(), rules), "");
}

TEST(Rules, TheDropCounterIsReadFromItsOwnTableByName) {
    auto listing = [](const std::string& table, const std::string& name, const nlohmann::json& packets) {
        nlohmann::json c = {{"family", "ip"}, {"name", name}, {"table", table}, {"packets", packets}, {"bytes", 9}};
        return nlohmann::json{{"nftables", {{{"metainfo", {{"version", "1.0.6"}}}}, {{"counter", c}}}}}.dump();
    };
    EXPECT_EQ(readDropCounter(listing("palaver_lab", "dropped", 17)), std::optional<uint64_t>(17));
    EXPECT_EQ(readDropCounter(listing("other", "dropped", 17)), std::nullopt);
    EXPECT_EQ(readDropCounter(listing("palaver_lab", "kept", 17)), std::nullopt);
    EXPECT_EQ(readDropCounter(listing("palaver_lab", "dropped", -1)), std::nullopt);
    EXPECT_EQ(readDropCounter(listing("palaver_lab", "dropped", "17")), std::nullopt);
    EXPECT_EQ(readDropCounter("not json"), std::nullopt);
}

// In a child of its own network namespace: rules that drop everything sent
// to 127.0.0.1, three datagrams, a change of the rules, two more. The
// counter must hold all five: a change keeps what it counted.
TEST(Rules, TheCounterKeepsItsCountThroughAChange) {
    TempDir dir;
    const fs::path result = dir.path() / "result";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::ofstream out(result);
        auto send = [](int n) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(5000);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (int i = 0; i < n; ++i) ::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            ::close(fd);
        };
        std::string reason = enterPrivateNetwork();
        RuleSet first;
        first.own = {"127.9.0.1"};
        first.sets = {{"g0", {"127.0.0.1"}}};
        first.drops = {{"", "g0", 10000, "partition", ""}};
        RuleSet second = first;
        second.drops = {{"g0", "", 10000, "loss", ""}, {"", "", 5000, "loss", ""}};
        if (reason.empty()) reason = applyRuleset(first);
        if (reason.empty()) send(3);
        if (reason.empty()) reason = applyRuleset(second);
        if (reason.empty()) send(2);
        std::optional<uint64_t> counted;
        if (reason.empty()) counted = dropCounter(reason);
        out << (counted ? std::to_string(*counted) : "error: " + reason);
        out.close();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(readFile(result).value_or("no result"), "5");
}

// Nodes that share one address are told apart by their ports: a partition
// between two port groups on 127.0.0.1 drops what crosses it, passes what
// stays inside a group and a node's datagrams to itself, and nft's listing
// of the endpoint sets and matches confirms the rules (and refuses them
// read as address-only rules).
TEST(Rules, NodesSharingAnAddressAreToldApartByPort) {
    TempDir dir;
    const fs::path result = dir.path() / "result";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::ofstream out(result);
        auto bound = [](int port) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(static_cast<uint16_t>(port));
            at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            return ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 ? fd : -1;
        };
        auto send = [](int fd, int port, int n) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(port));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (int i = 0; i < n; ++i) ::sendto(fd, "C", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        };
        auto taken = [](int fd) {
            int n = 0;
            char b[8];
            while (::recv(fd, b, sizeof b, 0) > 0) ++n;
            return n;
        };
        std::string reason = enterPrivateNetwork();
        RuleSet rules;
        rules.byPort = true;
        for (int port : {5001, 5002, 5003, 5004}) rules.own.push_back(ruleAddress("127.0.0.1", port, true));
        rules.sets = {{"g1", {"127.0.0.1 . 5001", "127.0.0.1 . 5002"}}, {"g2", {"127.0.0.1 . 5003", "127.0.0.1 . 5004"}}};
        rules.drops = {{"g1", "g2", 10000, "partition", ""}, {"g2", "g1", 10000, "partition", ""}};
        if (reason.empty()) reason = applyRuleset(rules);
        std::string readAsAddresses;
        std::string dropRuleByAddress;
        if (reason.empty()) {
            RuleSet plain = rules;
            plain.byPort = false;
            const ProgramResult list = runProgram({nftProgram(), "-j", "list", "table", "ip", "palaver_lab"});
            readAsAddresses = confirmRuleset(list.output, plain);
            // The same listing with the first drop rule's source matched by
            // address alone: not the rules that were loaded.
            nlohmann::json j = nlohmann::json::parse(list.output, nullptr, false);
            int seen = 0;
            for (auto& item : j["nftables"]) {
                if (!item.contains("rule") || seen++ != 1) continue;
                for (auto& e : item["rule"]["expr"]) {
                    if (e.contains("match") && e["match"]["left"].contains("concat")) {
                        e["match"]["left"] = e["match"]["left"]["concat"][0];
                        break;  // the destination's match keeps its port
                    }
                }
            }
            dropRuleByAddress = confirmRuleset(j.dump(), rules);
        }
        const int a = bound(5001), b = bound(5002), c = bound(5003);
        if (reason.empty()) {
            send(a, 5003, 3);  // across: dropped
            send(a, 5002, 2);  // inside g1
            send(a, 5001, 1);  // to itself
        }
        std::optional<uint64_t> counted;
        if (reason.empty()) counted = dropCounter(reason);
        out << (counted ? std::to_string(*counted) : "error: " + reason) << " " << taken(c) << " " << taken(b) << " "
            << taken(a) << " " << (readAsAddresses.empty() ? "confirmed-wrongly" : "refused") << " "
            << (dropRuleByAddress.empty() ? "confirmed-wrongly" : "refused");
        out.close();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(readFile(result).value_or("no result"), "3 0 2 1 refused refused");
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
