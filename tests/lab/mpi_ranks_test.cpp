// palaver-lab-mpi's pieces that need no MPI: where each node lives, and the
// message format between the ranks with its checks on what comes in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mpi/gather.h"
#include "mpi/message.h"
#include "mpi/address_plan.h"
#include "net/rules.h"
#include "mpi/spread.h"

namespace palaver::lab::mpi {
namespace {

struct SpreadCase {
    std::size_t nodes;
    int ranks;
    std::vector<int> expected;  // rank of node 0, 1, ...
};

TEST(MpiSpread, NodesGoToRanksInEvenConsecutiveBlocks) {
    const std::vector<SpreadCase> cases = {
        {6, 1, {0, 0, 0, 0, 0, 0}},
        {6, 3, {0, 0, 1, 1, 2, 2}},
        {7, 3, {0, 0, 0, 1, 1, 2, 2}},
        {8, 3, {0, 0, 0, 1, 1, 1, 2, 2}},
        {5, 2, {0, 0, 0, 1, 1}},
        {3, 5, {0, 1, 3}},
        {2, 2, {0, 1}},
    };
    for (const SpreadCase& c : cases) {
        std::vector<int> got;
        for (std::size_t i = 0; i < c.nodes; ++i) got.push_back(rankOfNode(i, c.nodes, c.ranks));
        EXPECT_EQ(got, c.expected) << c.nodes << " nodes on " << c.ranks << " ranks";
    }
}

// The first node of each rank bounds exactly the nodes rankOfNode gives it,
// and the block sizes differ by at most one.
TEST(MpiSpread, BlocksAgreeWithTheRankOfEachNode) {
    for (std::size_t nodes : {1u, 2u, 10u, 30u, 31u, 997u, 1000u}) {
        for (int ranks : {1, 2, 3, 4, 7, 16, 64}) {
            std::size_t smallest = nodes;
            std::size_t largest = 0;
            for (int r = 0; r < ranks; ++r) {
                const std::size_t first = firstNodeOf(r, nodes, ranks);
                const std::size_t end = firstNodeOf(r + 1, nodes, ranks);
                ASSERT_LE(first, end);
                for (std::size_t i = first; i < end; ++i) {
                    ASSERT_EQ(rankOfNode(i, nodes, ranks), r) << "node " << i << " of " << nodes << " on " << ranks;
                }
                smallest = std::min(smallest, end - first);
                largest = std::max(largest, end - first);
            }
            EXPECT_EQ(firstNodeOf(0, nodes, ranks), 0u);
            EXPECT_EQ(firstNodeOf(ranks, nodes, ranks), nodes) << nodes << " nodes on " << ranks;
            EXPECT_LE(largest - smallest, 1u) << nodes << " nodes on " << ranks;
        }
    }
}

TEST(MpiMessage, WhatIsEncodedDecodesTheSame) {
    Message m;
    m.op = Op::Start;
    m.node = 29;
    m.values = {50000, 4294967295LL, -1, 0, 1LL << 40, 7};
    m.texts = {"127.77.0.30", "/tmp/run/life2", "", std::string("a\0b", 3)};
    const std::vector<char> bytes = encode(m);
    std::string error;
    const auto back = decode(bytes.data(), bytes.size(), error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->op, m.op);
    EXPECT_EQ(back->node, m.node);
    EXPECT_EQ(back->values, m.values);
    EXPECT_EQ(back->texts, m.texts);
    // Every operation from the first to the last is one a rank takes.
    for (int32_t op = static_cast<int32_t>(Op::Start); op <= static_cast<int32_t>(LastOp); ++op) {
        Message each;
        each.op = static_cast<Op>(op);
        const std::vector<char> b = encode(each);
        const auto d = decode(b.data(), b.size(), error);
        ASSERT_TRUE(d) << "operation " << op << ": " << error;
        EXPECT_EQ(d->op, each.op);
    }
}

// Each received length is checked: a message that is cut, padded or claims
// more than it carries is refused with a reason, never read past its end.
TEST(MpiMessage, BadMessagesAreRefusedWithTheirReason) {
    Message m;
    m.op = Op::Table;
    m.node = 3;
    m.texts = {"status"};
    const std::vector<char> good = encode(m);
    auto withU32 = [&](std::size_t at, uint32_t v) {
        std::vector<char> b = good;
        std::memcpy(b.data() + at, &v, 4);
        return b;
    };
    const std::size_t countAt = HeaderBytes - 4;
    struct Bad {
        std::string name;
        std::vector<char> bytes;
        std::string reason;
    };
    const std::vector<Bad> cases = {
        {"empty", {}, "shorter than its header"},
        {"header cut", std::vector<char>(good.begin(), good.begin() + 10), "shorter than its header"},
        {"string cut", std::vector<char>(good.begin(), good.end() - 1), "runs past the message"},
        {"length cut", std::vector<char>(good.begin(), good.begin() + static_cast<long>(HeaderBytes) + 2),
         "has no length"},
        {"padded", [&] { auto b = good; b.push_back('x'); return b; }(), "after the last string"},
        {"too many strings", withU32(countAt, 5), "more than 4"},
        {"huge length", withU32(HeaderBytes, 0xFFFFFFFFu), "runs past the message"},
        {"unknown operation", withU32(0, 99), "unknown operation 99"},
        {"zero operation", withU32(0, 0), "unknown operation 0"},
        {"one past the last operation", withU32(0, static_cast<uint32_t>(LastOp) + 1),
         "unknown operation " + std::to_string(static_cast<int32_t>(LastOp) + 1)},
        {"negative node", withU32(4, 0xFFFFFFFFu), "negative node index"},
    };
    for (const Bad& c : cases) {
        std::string error;
        EXPECT_FALSE(decode(c.bytes.data(), c.bytes.size(), error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
    std::string error;
    EXPECT_TRUE(decode(good.data(), good.size(), error)) << error;
}

// A rank's acceptance stamps travel in pieces: every field comes back, an
// originator is bytes (commas, line ends, zero bytes and all), and a text
// that is not whole stamps is refused, keeping the stamps before the fault.
TEST(MpiMessage, AcceptStampsTravelInPiecesAndBadTextIsRefused) {
    std::vector<AcceptStamp> stamps;
    for (int k = 0; k < 5; ++k) {
        stamps.push_back(AcceptStamp{int64_t{1} << (30 + k), static_cast<std::size_t>(20 + k), k + 1,
                                     k == 2 ? std::string("a,b\n\0c", 7) : "127.77.0." + std::to_string(k) + "@50000",
                                     -k, k * 3});
    }
    std::vector<AcceptStamp> back;
    std::string error;
    for (std::size_t from = 0; from < stamps.size(); from += 2) {
        ASSERT_TRUE(decodeAccepts(encodeAccepts(stamps, from, 2), back, error)) << error;
    }
    ASSERT_EQ(back.size(), stamps.size());
    for (std::size_t k = 0; k < stamps.size(); ++k) {
        EXPECT_EQ(back[k].ms, stamps[k].ms);
        EXPECT_EQ(back[k].node, stamps[k].node);
        EXPECT_EQ(back[k].life, stamps[k].life);
        EXPECT_EQ(back[k].originator, stamps[k].originator);
        EXPECT_EQ(back[k].sequence, stamps[k].sequence);
        EXPECT_EQ(back[k].ttl, stamps[k].ttl);
    }
    EXPECT_TRUE(encodeAccepts(stamps, 5, 2).empty());

    const std::string two = encodeAccepts(stamps, 0, 2);
    std::vector<AcceptStamp> cut;
    EXPECT_FALSE(decodeAccepts(two.substr(0, two.size() - 3), cut, error));
    EXPECT_NE(error.find("past its bound or the text"), std::string::npos) << error;
    EXPECT_EQ(cut.size(), 1u);
    cut.clear();
    EXPECT_FALSE(decodeAccepts(two + "xy", cut, error));
    EXPECT_NE(error.find("cut short"), std::string::npos) << error;
    EXPECT_EQ(cut.size(), 2u);
    std::string huge = encodeAccepts(stamps, 0, 1);
    huge[31] = '\x7f';  // the top byte of the originator's length: far past its bound
    cut.clear();
    EXPECT_FALSE(decodeAccepts(huge, cut, error));
    EXPECT_TRUE(cut.empty());
}

// A rank's drop records travel whole (with and without a sequence), and a
// text that is not whole records is refused.
TEST(MpiMessage, DropRecordsTravelWholeAndBadTextIsRefused) {
    DropRecord chat{1234, "loss", "10.0.0.1", "10.0.0.2", 42001, 42007, true, 'C', 3, "10.0.0.1@42001", 9};
    DropRecord join{-5, "partition", "127.77.0.3", "127.77.0.9", 50000, 50000, true, 'N', 0, "", std::nullopt};
    DropRecord cut{7, "loss", "127.77.0.3", "", 0, 0, false, '?', 0, "", std::nullopt};
    const std::vector<DropRecord> records = {chat, join, cut};
    std::vector<DropRecord> back;
    std::string error;
    ASSERT_TRUE(decodeDrops(encodeDrops(records, 0, 2), back, error)) << error;
    ASSERT_TRUE(decodeDrops(encodeDrops(records, 2, 2), back, error)) << error;
    ASSERT_EQ(back.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(dropsCsvRow(back[k]), dropsCsvRow(records[k])) << k;
        EXPECT_EQ(back[k].udp, records[k].udp) << k;
        EXPECT_EQ(back[k].sequence, records[k].sequence) << k;
    }
    const std::string text = encodeDrops(records, 0, 3);
    for (std::size_t cutAt : {std::size_t{1}, std::size_t{30}, text.size() - 1}) {
        std::vector<DropRecord> partial;
        EXPECT_FALSE(decodeDrops(text.substr(0, cutAt), partial, error)) << cutAt;
    }
}

// Rules travel whole; since their texts go into an nft script, a set name,
// address, tag or type letter that is not one the lab makes is refused.
TEST(MpiMessage, RulesTravelWholeAndTextsThatAreNoRulesAreRefused) {
    RuleSet rules;
    rules.byPort = true;
    rules.own = {"10.0.0.1 . 42000", "10.0.0.2 . 42001"};
    rules.sets = {{"g0", {"10.0.0.1 . 42000"}}, {"nodes", {"10.0.0.1 . 42000", "10.0.0.2 . 42001"}}};
    rules.drops = {{"g0", "nodes", 10000, "partition", ""}, {"nodes", "nodes", 250, "loss", "BX"}};
    rules.logGroup = 21;
    std::string error;
    const auto back = decodeRules(encodeRules(rules), error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(rulesetScript(*back), rulesetScript(rules));

    std::vector<std::pair<const char*, RuleSet>> bad;
    RuleSet r = rules;
    r.sets[0].name = "g0 { }; flush ruleset";
    bad.push_back({"set name", r});
    r = rules;
    r.sets[0].name = "g0;flush";
    r.drops[0].from = "g0;flush";
    bad.push_back({"set name with a semicolon", r});
    r = rules;
    r.drops[0].tag = "partition drop";
    bad.push_back({"tag with a blank", r});
    r = rules;
    r.sets[1].ips.push_back("10.0.0.3 }");
    bad.push_back({"set address", r});
    r = rules;
    r.own.push_back("1.2.3.4\nflush ruleset");
    bad.push_back({"own address", r});
    r = rules;
    r.drops[1].tag = "loss\" group 1";
    bad.push_back({"tag", r});
    r = rules;
    r.drops[1].types = "B;";
    bad.push_back({"types", r});
    r = rules;
    r.drops[0].share = 10001;
    bad.push_back({"share", r});
    for (const auto& [what, set] : bad) {
        EXPECT_FALSE(decodeRules(encodeRules(set), error)) << what;
    }
    for (const char* text : {"", "[]", "{\"by_port\": true}", "{not json"}) {
        EXPECT_FALSE(decodeRules(text, error)) << text;
    }
}

// The plan asked for stands; otherwise --bind-address means host, and
// ranks on one host take loopback, on several host. Under the host plan a
// rank finds its address toward rank 0's host, and rank 0 (with every rank
// on its host) toward the first other host.
TEST(MpiPlan, ThePlanAndTheHostEachRankRoutesTowardFollowTheHosts) {
    const std::vector<std::string> one = {"a", "a", "a"};
    const std::vector<std::string> several = {"a", "b", "a", "c"};
    EXPECT_EQ(choosePlan("", false, one), "loopback");
    EXPECT_EQ(choosePlan("", false, several), "host");
    EXPECT_EQ(choosePlan("", true, one), "host");
    EXPECT_EQ(choosePlan("loopback", false, several), "loopback");
    EXPECT_EQ(choosePlan("host", false, one), "host");
    EXPECT_EQ(choosePlan("", false, {"a"}), "loopback");
    const std::vector<std::string> toward = {hostToward(0, several), hostToward(1, several), hostToward(2, several),
                                             hostToward(3, several)};
    EXPECT_EQ(toward, (std::vector<std::string>{"b", "a", "b", "a"}));
    EXPECT_EQ(hostToward(0, one), "");
    EXPECT_EQ(hostToward(2, one), "");
    EXPECT_EQ(hostToward(4, several), "");
}

// The route's source address: loopback toward a loopback address or name
// (the lookup connects a UDP socket and sends nothing).
TEST(MpiPlan, TheAddressTowardAHostIsTheRoutesSource) {
    std::string error;
    EXPECT_EQ(addressToward("127.0.0.5", error), "127.0.0.1") << error;
    const std::string local = addressToward("localhost", error);
    EXPECT_EQ(local.rfind("127.", 0), 0u) << local << " " << error;
}

// A staged file maps back into the run folder, and a path that would lead
// out of it is refused.
TEST(MpiGather, StagedFilesMapIntoTheRunFolderAndNowhereElse) {
    const std::filesystem::path staging = "/tmp/stage";
    const std::filesystem::path staged = stagedFolder(staging, "/work/runs/r3/life2");
    EXPECT_EQ(staged, "/tmp/stage/work/runs/r3/life2");
    const std::string file = (staged / "127.0.0.1@50000.txt").lexically_relative(staging).string();
    EXPECT_EQ(gatheredTarget("/work/runs/r3", file), std::filesystem::path("/work/runs/r3/life2/127.0.0.1@50000.txt"));
    EXPECT_EQ(gatheredTarget("/work/runs/r3/", "work/runs/r3/a.txt"), std::filesystem::path("/work/runs/r3/a.txt"));
    for (const char* bad : {"work/runs/r3", "work/runs/r4/a.txt", "work/runs/r3/../r4/a.txt", "/work/runs/r3/a.txt",
                            "etc/passwd", "", "work/runs/r3x/a.txt"}) {
        EXPECT_FALSE(gatheredTarget("/work/runs/r3", bad)) << bad;
    }
}

}  // namespace
}  // namespace palaver::lab::mpi
