#include "net/rules.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <utility>

#include "process.h"

namespace palaver::lab {

namespace {

using Json = nlohmann::json;

constexpr const char* Table = "palaver_lab";
constexpr int UdpProtocol = 17;

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no message" : line;
}

std::string ruleText(const DropRule& d, int logGroup, bool byPort) {
    std::string text = "meta l4proto udp";
    if (!d.from.empty()) text += std::string(byPort ? " ip saddr . udp sport @" : " ip saddr @") + d.from;
    if (!d.to.empty()) text += std::string(byPort ? " ip daddr . udp dport @" : " ip daddr @") + d.to;
    if (!d.types.empty()) {
        // The datagram's type letter: the first byte behind the UDP header.
        text += " @th,64,8 {";
        for (std::size_t i = 0; i < d.types.size(); ++i) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%s0x%02x", i ? ", " : " ", static_cast<unsigned char>(d.types[i]));
            text += hex;
        }
        text += " }";
    }
    if (d.share < 10000) text += " numgen random mod 10000 < " + std::to_string(d.share);
    text += std::string(" counter name \"") + DropCounter + "\"";
    if (logGroup > 0) text += " log prefix \"" + d.tag + "\" group " + std::to_string(logGroup);
    return text + " drop";
}

// One rule of the listing reduced to what it means.
struct SeenRule {
    bool udp = false;
    bool ownPair = false;  // ip saddr . ip daddr @own (with the ports: ownPorts)
    std::string from, to;
    bool ownPorts = false, fromPorts = false, toPorts = false;  // matched with the UDP ports
    std::set<char> types;                                       // @th,64,8 matched against these bytes
    int64_t share = -1;                                         // the numgen threshold; -1 without one
    std::string verdict;
    bool counted = false;  // counts in the drop counter
    int64_t logGroup = 0;  // 0: not logged
    std::string logPrefix;
    int unknown = 0;  // expressions of another kind
};

bool isUdp(const Json& right) {
    if (right.is_number_integer()) return right.get<int64_t>() == UdpProtocol;
    return right.is_string() && right.get<std::string>() == "udp";
}

bool isPayload(const Json& j, const char* field, const char* protocol = "ip") {
    return j.is_object() && j.contains("payload") && j["payload"].value("protocol", "") == protocol &&
           j["payload"].value("field", "") == field;
}

// A concatenation of payload fields: {protocol, field} in order.
bool isConcat(const Json& left, const std::vector<std::pair<const char*, const char*>>& fields) {
    if (!left.is_object() || !left.contains("concat") || !left["concat"].is_array() ||
        left["concat"].size() != fields.size()) {
        return false;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!isPayload(left["concat"][i], fields[i].second, fields[i].first)) return false;
    }
    return true;
}

std::string setReference(const Json& right) {
    if (!right.is_string()) return "";
    const std::string s = right.get<std::string>();
    return s.size() > 1 && s[0] == '@' ? s.substr(1) : "";
}

SeenRule readRule(const Json& expressions) {
    SeenRule r;
    for (const Json& e : expressions) {
        if (e.contains("accept")) {
            r.verdict = "accept";
        } else if (e.contains("drop")) {
            r.verdict = "drop";
        } else if (e.contains("counter") && e["counter"].is_string() &&
                   e["counter"].get<std::string>() == DropCounter) {
            r.counted = true;
        } else if (e.contains("log") && e["log"].is_object() && e["log"].value("group", Json()).is_number_integer()) {
            r.logGroup = e["log"]["group"].get<int64_t>();
            r.logPrefix = e["log"].value("prefix", "");
        } else if (e.contains("match")) {
            const Json& m = e["match"];
            const Json& left = m.value("left", Json());
            const Json& right = m.value("right", Json());
            const std::string op = m.value("op", "");
            if (op == "==" && left.is_object() && left.contains("meta") && left["meta"].value("key", "") == "l4proto") {
                r.udp = isUdp(right);
            } else if (op == "==" && left.is_object() && left.contains("payload") &&
                       left["payload"].value("base", "") == "th" && left["payload"].value("offset", -1) == 64 &&
                       left["payload"].value("len", -1) == 8) {
                const Json values = right.is_object() && right.contains("set") ? right["set"] : Json::array({right});
                for (const Json& v : values) {
                    if (v.is_number_integer() && v.get<int64_t>() > 0 && v.get<int64_t>() < 256) {
                        r.types.insert(static_cast<char>(v.get<int64_t>()));
                    } else {
                        ++r.unknown;
                    }
                }
            } else if (op == "==" && isPayload(left, "saddr")) {
                r.from = setReference(right);
            } else if (op == "==" && isPayload(left, "daddr")) {
                r.to = setReference(right);
            } else if (op == "==" && isConcat(left, {{"ip", "saddr"}, {"udp", "sport"}})) {
                r.from = setReference(right);
                r.fromPorts = true;
                r.udp = true;  // a match on the UDP ports holds only UDP (nft lists no l4proto match then)
            } else if (op == "==" && isConcat(left, {{"ip", "daddr"}, {"udp", "dport"}})) {
                r.to = setReference(right);
                r.toPorts = true;
                r.udp = true;  // a match on the UDP ports holds only UDP (nft lists no l4proto match then)
            } else if (op == "==" && isConcat(left, {{"ip", "saddr"}, {"ip", "daddr"}})) {
                r.ownPair = setReference(right) == "own";
            } else if (op == "==" &&
                       isConcat(left, {{"ip", "saddr"}, {"udp", "sport"}, {"ip", "daddr"}, {"udp", "dport"}})) {
                r.ownPair = setReference(right) == "own";
                r.ownPorts = true;
                r.udp = true;  // a match on the UDP ports holds only UDP (nft lists no l4proto match then)
            } else if (op == "<" && left.is_object() && left.contains("numgen") &&
                       left["numgen"].value("mode", "") == "random" && left["numgen"].value("mod", 0) == 10000 &&
                       left["numgen"].value("offset", 0) == 0 && right.is_number_integer()) {
                r.share = right.get<int64_t>();
            } else {
                ++r.unknown;
            }
        } else {
            ++r.unknown;
        }
    }
    return r;
}

// A set's elements as text: "a" or "a . b".
std::multiset<std::string> readElements(const Json& set) {
    std::multiset<std::string> out;
    for (const Json& e : set.value("elem", Json::array())) {
        const Json& v = e.is_object() && e.contains("elem") ? e["elem"].value("val", Json()) : e;
        if (v.is_string()) {
            out.insert(v.get<std::string>());
        } else if (v.is_object() && v.contains("concat")) {
            std::string joined;
            for (const Json& part : v["concat"]) {
                joined += joined.empty() ? "" : " . ";
                joined += part.is_string() ? part.get<std::string>() : part.dump();
            }
            out.insert(joined);
        } else {
            out.insert(v.dump());
        }
    }
    return out;
}

}  // namespace

std::string ruleAddress(const std::string& ip, int port, bool byPort) {
    return byPort ? ip + " . " + std::to_string(port) : ip;
}

int dropShare(double percent) {
    const long long share = std::llround(percent * 100.0);
    return static_cast<int>(std::max(0LL, std::min(10000LL, share)));
}

namespace {

std::string elementsLine(const std::vector<std::string>& items) {
    if (items.empty()) return "";
    std::string text = "        elements = {";
    for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ", " : " ") + items[i];
    return text + " }\n";
}

}  // namespace

std::string rulesetScript(const RuleSet& rules) {
    // The first block adds whatever is missing (nothing, once the table
    // exists); the flushes empty the chain and the sets; the last block fills
    // them. nft -f applies the whole script as one transaction, and the drop
    // counter, an object of the table, keeps its count through it.
    const std::string table = std::string("table ip ") + Table;
    const std::string address = rules.byPort ? "ipv4_addr . inet_service" : "ipv4_addr";
    const std::string ownType = "        type " + address + " . " + address + "\n";
    const std::string setType = "        type " + address + "\n";
    std::string text = table + " {\n    counter " + DropCounter + " {\n    }\n";
    text += "    set own {\n" + ownType + "    }\n";
    for (const AddressSet& s : rules.sets) text += "    set " + s.name + " {\n" + setType + "    }\n";
    text += "    chain input {\n        type filter hook input priority filter; policy accept;\n    }\n}\n";
    text += std::string("flush chain ip ") + Table + " input\n";
    text += std::string("flush set ip ") + Table + " own\n";
    for (const AddressSet& s : rules.sets) text += std::string("flush set ip ") + Table + " " + s.name + "\n";
    text += table + " {\n";
    text += "    set own {\n" + ownType;
    std::vector<std::string> pairs;
    for (const std::string& ip : rules.own) {
        std::string pair = ip;
        pair += " . ";
        pair += ip;
        pairs.push_back(std::move(pair));
    }
    text += elementsLine(pairs) + "    }\n";
    for (const AddressSet& s : rules.sets) {
        text += "    set " + s.name + " {\n" + setType + elementsLine(s.ips) + "    }\n";
    }
    text += rules.byPort ? "    chain input {\n        meta l4proto udp ip saddr . udp sport . ip daddr . udp dport @own accept\n"
                         : "    chain input {\n        meta l4proto udp ip saddr . ip daddr @own accept\n";
    for (const DropRule& d : rules.drops) text += "        " + ruleText(d, rules.logGroup, rules.byPort) + "\n";
    text += "    }\n}\n";
    return text;
}

std::string confirmRuleset(const std::string& text, const RuleSet& rules) {
    const Json listing = Json::parse(text, nullptr, false);
    if (listing.is_discarded() || !listing.is_object() || !listing.contains("nftables") ||
        !listing["nftables"].is_array()) {
        return "nft's listing is not the JSON it should be: " + firstLine(text);
    }
    std::map<std::string, std::multiset<std::string>> sets;
    std::vector<SeenRule> seen;
    bool chain = false;
    for (const Json& item : listing["nftables"]) {
        if (item.contains("set") && item["set"].value("table", "") == Table) {
            sets[item["set"].value("name", "")] = readElements(item["set"]);
        } else if (item.contains("chain") && item["chain"].value("table", "") == Table) {
            const Json& c = item["chain"];
            chain = c.value("name", "") == "input" && c.value("hook", "") == "input" && c.value("type", "") == "filter" &&
                    c.value("policy", "") == "accept";
        } else if (item.contains("rule") && item["rule"].value("table", "") == Table &&
                   item["rule"].value("chain", "") == "input") {
            seen.push_back(readRule(item["rule"].value("expr", Json::array())));
        }
    }
    if (!chain) return "no input chain with an accept policy in table " + std::string(Table);
    std::multiset<std::string> own;
    for (const std::string& ip : rules.own) {
        std::string pair = ip;
        pair += " . ";
        pair += ip;
        own.insert(pair);
    }
    if (sets["own"] != own) return "the set own does not hold each node's address pair";
    for (const AddressSet& s : rules.sets) {
        if (!sets.count(s.name) || sets[s.name] != std::multiset<std::string>(s.ips.begin(), s.ips.end())) {
            return "the set " + s.name + " does not hold its " + std::to_string(s.ips.size()) + " addresses";
        }
    }
    if (sets.size() != rules.sets.size() + 1) return "the table holds sets the lab did not make";
    if (seen.size() != rules.drops.size() + 1) {
        return "the input chain holds " + std::to_string(seen.size()) + " rules, not " +
               std::to_string(rules.drops.size() + 1);
    }
    const SeenRule& first = seen[0];
    if (!first.udp || !first.ownPair || first.ownPorts != rules.byPort || first.verdict != "accept" || first.unknown ||
        first.share >= 0 ||
        !first.types.empty() ||
        first.counted || first.logGroup != 0 ||
        !first.from.empty() || !first.to.empty()) {
        return "the first rule is not the pass for a node's datagrams to itself";
    }
    for (std::size_t i = 0; i < rules.drops.size(); ++i) {
        const DropRule& want = rules.drops[i];
        const SeenRule& r = seen[i + 1];
        const int64_t share = want.share < 10000 ? want.share : -1;
        const bool logged = rules.logGroup > 0 ? r.logGroup == rules.logGroup && r.logPrefix == want.tag : r.logGroup == 0;
        const bool ports = (want.from.empty() || r.fromPorts == rules.byPort) && (want.to.empty() || r.toPorts == rules.byPort);
        if (!r.udp || r.ownPair || !ports || r.verdict != "drop" || r.unknown || r.from != want.from || r.to != want.to ||
            r.types != std::set<char>(want.types.begin(), want.types.end()) || r.share != share || !r.counted ||
            !logged) {
            return "rule " + std::to_string(i + 2) + " is not '" + ruleText(want, rules.logGroup, rules.byPort) + "'";
        }
    }
    return "";
}

std::optional<uint64_t> readDropCounter(const std::string& text) {
    const Json listing = Json::parse(text, nullptr, false);
    if (listing.is_discarded() || !listing.is_object() || !listing.contains("nftables") ||
        !listing["nftables"].is_array()) {
        return std::nullopt;
    }
    for (const Json& item : listing["nftables"]) {
        if (!item.is_object() || !item.contains("counter") || !item["counter"].is_object()) continue;
        const Json& c = item["counter"];
        if (c.value("table", "") != Table || c.value("name", "") != DropCounter) continue;
        const Json packets = c.value("packets", Json());
        if (packets.is_number_unsigned() || (packets.is_number_integer() && packets.get<int64_t>() >= 0)) {
            return packets.get<uint64_t>();
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> dropCounter(std::string& reason) {
    const std::string nft = nftProgram();
    if (nft.empty()) {
        reason = "the nft program is missing (Debian package nftables)";
        return std::nullopt;
    }
    ProgramResult list = runProgram({nft, "-j", "list", "counter", "ip", Table, DropCounter});
    if (list.status != 0) {
        reason = "nft cannot list the drop counter: " + firstLine(list.output);
        return std::nullopt;
    }
    auto packets = readDropCounter(list.output);
    if (!packets) reason = "nft's listing holds no drop counter: " + firstLine(list.output);
    return packets;
}

std::string nftProgram() {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        std::string path = std::string(dir) + "nft";
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    if (const char* env = std::getenv("PATH")) {
        std::stringstream dirs(env);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            std::string path = dir + "/nft";
            if (!dir.empty() && ::access(path.c_str(), X_OK) == 0) return path;
        }
    }
    return "";
}

std::string applyRuleset(const RuleSet& rules) {
    const std::string nft = nftProgram();
    if (nft.empty()) return "the nft program is missing (Debian package nftables)";
    ProgramResult load = runProgram({nft, "-f", "-"}, rulesetScript(rules));
    if (load.status != 0) return "nft refused the rules: " + firstLine(load.output);
    ProgramResult list = runProgram({nft, "-j", "list", "table", "ip", Table});
    if (list.status != 0) return "nft cannot list the rules it loaded: " + firstLine(list.output);
    const std::string reason = confirmRuleset(list.output, rules);
    return reason.empty() ? "" : "the rules are not in place after nft loaded them: " + reason;
}

std::string checkRulesMayGoHere() {
    const std::string nft = nftProgram();
    if (nft.empty()) return "the nft program is missing (Debian package nftables)";
    if (runProgram({nft, "list", "table", "ip", Table}).status == 0) {
        return std::string("a table ip ") + Table + " is there already (another run's, or one that stopped early: " +
               "nft delete table ip " + Table + " takes it out)";
    }
    std::string reason = applyRuleset(RuleSet{});
    if (!reason.empty()) return reason;
    return removeRuleset();
}

std::string removeRuleset() {
    const std::string nft = nftProgram();
    if (nft.empty()) return "the nft program is missing (Debian package nftables)";
    if (runProgram({nft, "list", "table", "ip", Table}).status != 0) return "";
    ProgramResult removed = runProgram({nft, "delete", "table", "ip", Table});
    return removed.status == 0 ? "" : "nft cannot take the table out: " + firstLine(removed.output);
}

}  // namespace palaver::lab
