// The lab's nftables rules: one table in the nodes' network namespace that
// drops UDP datagrams on the input hook (loss on all traffic or between two
// address sets, partitions between two sets), never a node's datagrams to
// itself. Every drop rule counts what it drops in the table's one named
// counter, which lives as long as the table, and may log each datagram to an
// nflog group before it drops it. Every change replaces the rules and the
// set elements in one nft transaction (the counter keeps its count) and is
// confirmed from nft's JSON listing by meaning: protocol numbers, set
// elements and drop shares as values, whatever names nft prints them with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace palaver::lab {

struct AddressSet {
    std::string name;  // nft set name: letters, digits, '_'
    std::vector<std::string> ips;
};

struct DropRule {
    std::string from, to;      // set names; "" matches any address
    int share = 10000;         // in hundredths of a percent; 10000 drops every datagram
    std::string tag = "loss";  // the log prefix of its drops: letters, digits, '_'
    std::string types;         // datagram type letters it drops (the payload's first byte); "" every datagram
};

struct RuleSet {
    // Nodes told apart by address alone, or (byPort) by address and port,
    // where nodes share an address: then every address below is an
    // endpoint, written as nft writes one ("10.0.0.2 . 50001").
    bool byPort = false;
    std::vector<std::string> own;  // node addresses whose datagrams to themselves pass
    std::vector<AddressSet> sets;
    std::vector<DropRule> drops;  // in order, after the self-send exception
    int logGroup = 0;             // nflog group of every drop; 0: not logged
};

// The name of the table's counter of every datagram its rules dropped.
constexpr const char* DropCounter = "dropped";

// A node's address in the rules: its IP, or with `byPort` its endpoint.
std::string ruleAddress(const std::string& ip, int port, bool byPort);

// A percentage as the rules' share: hundredths of a percent, 0 to 10000.
int dropShare(double percent);

// The nft script that puts `rules` in place of the lab's rules atomically.
// Sets once made must stay in `rules.sets` (emptied, never removed).
std::string rulesetScript(const RuleSet& rules);

// Checks nft's JSON listing of the lab's table (`nft -j list table ip
// palaver_lab`) against `rules`. "" when it holds exactly those sets and
// rules, else what differs.
std::string confirmRuleset(const std::string& json, const RuleSet& rules);

// Loads `rules` in the current network namespace and confirms them. "" on
// success, else the reason.
std::string applyRuleset(const RuleSet& rules);

// The drop counter's packets in nft's JSON listing of it (`nft -j list
// counter ip palaver_lab dropped`); no value when the listing holds none.
std::optional<uint64_t> readDropCounter(const std::string& json);

// Reads the drop counter in the current network namespace. No value, and
// the reason in `reason`, when it cannot be read.
std::optional<uint64_t> dropCounter(std::string& reason);

// Whether the lab's rules may go into the current network namespace,
// which other programs share: loads an empty table there and takes it out
// again. "" when they may, else the reason (no nft, no permission, or a
// table of the lab's already there, another run's or a stopped one's).
std::string checkRulesMayGoHere();

// Takes the lab's table out of the current network namespace. "" on
// success or when there is none, else the reason.
std::string removeRuleset();

// The nft program's path, "" when it is missing.
std::string nftProgram();

}  // namespace palaver::lab
