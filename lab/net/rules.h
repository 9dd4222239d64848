// The lab's nftables rules: one table in the nodes' network namespace that
// drops UDP datagrams on the input hook (loss on all traffic or between two
// address sets, partitions between two sets), never a node's datagrams to
// itself. Every change replaces the whole table in one nft transaction and
// is confirmed from nft's JSON listing by meaning: protocol numbers, set
// elements and drop shares as values, whatever names nft prints them with.
#pragma once

#include <string>
#include <vector>

namespace palaver::lab {

struct AddressSet {
    std::string name;  // nft set name: letters, digits, '_'
    std::vector<std::string> ips;
};

struct DropRule {
    std::string from, to;  // set names; "" matches any address
    int share = 10000;     // in hundredths of a percent; 10000 drops every datagram
};

struct RuleSet {
    std::vector<std::string> own;  // node addresses whose datagrams to themselves pass
    std::vector<AddressSet> sets;
    std::vector<DropRule> drops;  // in order, after the self-send exception
};

// A percentage as the rules' share: hundredths of a percent, 0 to 10000.
int dropShare(double percent);

// The nft script that replaces the lab's table with `rules` atomically.
std::string rulesetScript(const RuleSet& rules);

// Checks nft's JSON listing of the lab's table (`nft -j list table ip
// palaver_lab`) against `rules`. "" when it holds exactly those sets and
// rules, else what differs.
std::string confirmRuleset(const std::string& json, const RuleSet& rules);

// Loads `rules` in the current network namespace and confirms them. "" on
// success, else the reason.
std::string applyRuleset(const RuleSet& rules);

// The nft program's path, "" when it is missing.
std::string nftProgram();

}  // namespace palaver::lab
