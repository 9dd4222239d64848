// Scenario files: read with toml++, checked key by key, every fault one line
// with its place; and the default scenario the run command's flags stand for.
#include "run/scenario.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "run/limits.h"
#include "run/seeds.h"

namespace palaver::lab {

namespace {

std::string placeOf(const std::string& file, const toml::source_region& region) {
    // A value set on the command line carries that setting as its source.
    if (region.path && *region.path != file) return *region.path;
    return file + ":" + std::to_string(region.begin.line) + ":" + std::to_string(region.begin.column);
}

// The keys of one table, each checked once for its type and range.
class Fields {
public:
    Fields(const toml::table& table, const std::string& file, const std::string& what,
           const std::set<std::string>& allowed)
        : table_(table), file_(file) {
        for (auto&& [key, value] : table) {
            if (!allowed.count(std::string(key.str()))) {
                std::string list;
                for (const std::string& a : allowed) list += (list.empty() ? "" : ", ") + a;
                std::string message = "unknown key '";
                message += key.str();
                message += "' in ";
                message += what;
                message += " (known: ";
                message += list;
                message += ")";
                fail(key.source(), message);
            }
        }
    }

    [[noreturn]] void fail(const toml::source_region& region, const std::string& what) const {
        throw ScenarioError(placeOf(file_, region) + ": " + what);
    }
    [[noreturn]] void fail(const std::string& key, const std::string& what) const {
        const toml::node* n = table_.get(key);
        fail(n ? n->source() : table_.source(), what);
    }
    std::string place(const std::string& key = "") const {
        const toml::node* n = key.empty() ? nullptr : table_.get(key);
        return placeOf(file_, n ? n->source() : table_.source());
    }
    bool has(const std::string& key) const { return table_.contains(key); }

    std::optional<int64_t> integer(const std::string& key, int64_t low, int64_t high) const {
        const toml::node* n = table_.get(key);
        if (!n) return std::nullopt;
        if (!n->is_integer()) fail(key, "'" + key + "' must be an integer");
        const int64_t v = n->as_integer()->get();
        if (v < low || v > high) {
            fail(key, "'" + key + "' is " + std::to_string(v) + ", out of the range " + std::to_string(low) + " to " +
                          std::to_string(high));
        }
        return v;
    }
    // An integer or a float.
    std::optional<double> number(const std::string& key, double low, double high, const char* unit = "") const {
        const toml::node* n = table_.get(key);
        if (!n) return std::nullopt;
        double v = 0;
        if (n->is_integer()) {
            v = static_cast<double>(n->as_integer()->get());
        } else if (n->is_floating_point()) {
            v = n->as_floating_point()->get();
        } else {
            fail(key, "'" + key + "' must be a number");
        }
        if (!std::isfinite(v) || v < low || v > high) {
            std::ostringstream text;
            text << "'" << key << "' is " << v << unit << ", out of the range " << low << unit << " to " << high
                 << unit;
            fail(key, text.str());
        }
        return v;
    }
    std::optional<double> percent(const std::string& key) const { return number(key, 0, 100, " %"); }
    std::optional<double> seconds(const std::string& key, double low = 0) const {
        return number(key, low, limits::MaxSeconds, " s");
    }
    std::optional<std::string> string(const std::string& key) const {
        const toml::node* n = table_.get(key);
        if (!n) return std::nullopt;
        if (!n->is_string()) fail(key, "'" + key + "' must be a string");
        return n->as_string()->get();
    }
    std::optional<bool> boolean(const std::string& key) const {
        const toml::node* n = table_.get(key);
        if (!n) return std::nullopt;
        if (!n->is_boolean()) fail(key, "'" + key + "' must be true or false");
        return n->as_boolean()->get();
    }
    std::optional<std::vector<std::string>> strings(const std::string& key) const {
        const toml::node* n = table_.get(key);
        if (!n) return std::nullopt;
        const toml::array* a = n->as_array();
        if (!a) fail(key, "'" + key + "' must be an array of strings");
        std::vector<std::string> out;
        for (const toml::node& e : *a) {
            if (!e.is_string()) fail(e.source(), "'" + key + "' must be an array of strings");
            out.push_back(e.as_string()->get());
        }
        return out;
    }

private:
    const toml::table& table_;
    const std::string& file_;
};

const std::set<std::string> Actions = {"start", "join", "lines", "leave", "crash", "depart", "restart",
                                       "loss", "partition", "heal", "snapshot", "wait", "churn"};

// A name that, as a folder of tables/, would be another folder: it holds a
// slash, or is "." or "..".
bool leavesItsFolder(const std::string& name) {
    return name.find_first_of("/\\") != std::string::npos || name == "." || name == "..";
}

std::set<std::string> stepKeys(const std::string& action) {
    std::set<std::string> keys = {"name", "do", "at", "after", "when", "members", "of", "within"};
    static const std::map<std::string, std::vector<std::string>> more = {
        {"start", {"group"}},
        {"join", {"group", "mode", "rate"}},
        {"lines", {"group", "count", "rate"}},
        {"leave", {"group", "count", "share"}},
        {"crash", {"group", "count", "share"}},
        {"depart", {"group", "leave", "crash"}},
        {"restart", {"group", "count"}},
        {"loss", {"percent", "between", "types"}},
        {"partition", {"groups"}},
        {"heal", {"groups"}},
        {"snapshot", {"as", "every", "until"}},
        {"wait", {}},
        {"churn", {"group", "model", "mean", "shape", "crash_share", "rejoin", "pause", "duration"}},
    };
    auto it = more.find(action);
    if (it != more.end()) keys.insert(it->second.begin(), it->second.end());
    return keys;
}

const toml::table& tableAt(const toml::node& n, const std::string& file, const std::string& what) {
    const toml::table* t = n.as_table();
    if (!t) throw ScenarioError(placeOf(file, n.source()) + ": " + what + " must be a table");
    return *t;
}

std::vector<const toml::table*> tablesOf(const toml::table& root, const std::string& key, const std::string& file) {
    std::vector<const toml::table*> out;
    const toml::node* n = root.get(key);
    if (!n) return out;
    const toml::array* a = n->as_array();
    if (!a) throw ScenarioError(placeOf(file, n->source()) + ": '" + key + "' must be written [[" + key + "]]");
    for (const toml::node& e : *a) out.push_back(&tableAt(e, file, "each [[" + key + "]]"));
    return out;
}

// Every fault that concerns more than one key, with the place of the key
// that names it.
void checkReferences(const Scenario& s, const std::map<std::string, std::string>& places) {
    auto placeOr = [&](const std::string& key, const std::string& fallback) {
        auto it = places.find(key);
        return it == places.end() ? fallback : it->second;
    };
    auto knownGroup = [&](const std::string& name, const std::string& place, const std::string& what) {
        if (!s.group(name)) throw ScenarioError(place + ": " + what + " names the unknown group '" + name + "'");
    };
    std::set<std::string> stepNames;
    for (const StepSpec& st : s.steps) stepNames.insert(st.name);
    for (std::size_t i = 0; i < s.steps.size(); ++i) {
        const StepSpec& st = s.steps[i];
        const std::string at = st.place;
        knownGroup(st.group, placeOr(st.name + ".group", at), "step '" + st.name + "'");
        if (st.trigger.kind == Trigger::Kind::Members) {
            knownGroup(st.trigger.group, placeOr(st.name + ".of", at), "step '" + st.name + "'");
        }
        for (const std::string& g : st.between) knownGroup(g, placeOr(st.name + ".between", at), "step '" + st.name + "'");
        for (const std::string& g : st.groups) knownGroup(g, placeOr(st.name + ".groups", at), "step '" + st.name + "'");
        if (!st.until.empty()) {
            bool later = false;
            for (std::size_t j = i + 1; j < s.steps.size(); ++j) later = later || s.steps[j].name == st.until;
            if (!later) {
                throw ScenarioError(placeOr(st.name + ".until", at) + ": step '" + st.name + "' runs until '" + st.until +
                                    "', which is not a later step");
            }
        }
        if ((st.action == "loss" || st.action == "partition") && (s.hostNetwork || !s.contact.empty())) {
            throw ScenarioError(at + ": step '" + st.name + "' (" + st.action +
                                ") needs the private network namespace, which host_network and contact leave");
        }
    }
    for (std::size_t k = 0; k < s.expectations.size(); ++k) {
        const ExpectSpec& e = s.expectations[k];
        const std::string at = placeOr("expect" + std::to_string(k), s.source);
        for (const std::string& name : e.steps) {
            if (!stepNames.count(name)) {
                throw ScenarioError(placeOr("expect" + std::to_string(k) + ".steps", at) + ": expectation '" + e.name +
                                    "' names the unknown step '" + name + "'");
            }
        }
        if (e.snapshot != "end") {
            bool found = false;
            bool periodic = false;
            for (const StepSpec& st : s.steps) {
                const bool takes = st.action == "snapshot" && st.snapshotName() == e.snapshot;
                found = found || takes;
                periodic = periodic || (takes && st.everyS > 0);
            }
            // A periodic snapshot's takes are NAME-1, NAME-2, ...: none of
            // them is NAME, so the check would have nothing to measure.
            if (periodic) {
                throw ScenarioError(placeOr("expect" + std::to_string(k) + ".snapshot", at) + ": expectation '" +
                                    e.name + "' names the periodic snapshot '" + e.snapshot +
                                    "', whose takes are '" + e.snapshot + "-1', '" + e.snapshot +
                                    "-2', ...; name a snapshot taken once");
            }
            if (!found) {
                throw ScenarioError(placeOr("expect" + std::to_string(k) + ".snapshot", at) + ": expectation '" +
                                    e.name + "' names '" + e.snapshot + "', which no snapshot step takes (or \"end\")");
            }
        }
    }
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

std::string numberText(double v) {
    std::ostringstream text;
    text.precision(15);
    text << v;
    std::string s = text.str();
    // A float stays a float when it is read back: TOML needs the point.
    if (s.find_first_of(".eE") == std::string::npos) s += ".0";
    return s;
}

std::string secondsText(int64_t ms) { return numberText(static_cast<double>(ms) / 1000.0); }

std::string stringList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + quoted(items[i]);
    return out + "]";
}

}  // namespace

const GroupSpec* Scenario::group(const std::string& name) const {
    for (const GroupSpec& g : groups) {
        if (g.name == name) return &g;
    }
    return nullptr;
}

bool Scenario::needsNetworkRules() const {
    return std::any_of(steps.begin(), steps.end(),
                       [](const StepSpec& s) { return s.action == "loss" || s.action == "partition"; });
}

namespace {

// "" when every group resolves, else what is wrong with the first that does not.
std::string resolveGroupMembers(Scenario& s) {
    std::mt19937_64 random = generatorFor(s.seed, Choice::Groups);
    std::vector<char> named(static_cast<std::size_t>(s.nodes), 0);
    for (GroupSpec& g : s.groups) {
        g.members.clear();
        switch (g.kind) {
        case GroupSpec::Kind::Range:
            if (g.first < 1 || g.last < g.first || g.last > s.nodes) {
                return "group '" + g.name + "': nodes " + std::to_string(g.first) + " to " +
                       std::to_string(g.last) + " do not lie within the " + std::to_string(s.nodes) + " nodes";
            }
            for (int i = g.first; i <= g.last; ++i) g.members.push_back(static_cast<std::size_t>(i - 1));
            break;
        case GroupSpec::Kind::Share: {
            const GroupSpec* of = s.group(g.of);
            std::vector<std::size_t> pool = of ? of->members : std::vector<std::size_t>{};
            std::shuffle(pool.begin(), pool.end(), random);
            const auto take = static_cast<std::size_t>(std::llround(g.share / 100.0 * static_cast<double>(pool.size())));
            pool.resize(std::min(take, pool.size()));
            std::sort(pool.begin(), pool.end());
            g.members = pool;
            break;
        }
        case GroupSpec::Kind::Rest:
            for (std::size_t i = 0; i < named.size(); ++i) {
                if (!named[i]) g.members.push_back(i);
            }
            break;
        }
        if (g.members.empty()) return "group '" + g.name + "' holds no node";
        if (g.name != "all") {
            for (std::size_t i : g.members) named[i] = 1;
        }
    }
    return "";
}

// The table that a setting's path names, made where the file has none of a
// plain table ([nodes], [timing]); throws when the path names nothing.
toml::table& settingTable(toml::table& root, const std::vector<std::string>& path, const std::string& where,
                          const std::string& file) {
    if (path.size() == 1) return root;
    static const std::set<std::string> Listed = {"step", "group", "expect"};
    if (path.size() == 2 && !Listed.count(path[0])) {
        toml::node* n = root.get(path[0]);
        if (!n) return *root.insert_or_assign(path[0], toml::table{}).first->second.as_table();
        if (!n->is_table()) throw ScenarioError(where + ": " + path[0] + " is not a table in " + file);
        return *n->as_table();
    }
    if (path.size() == 3 && Listed.count(path[0])) {
        if (toml::array* a = root[path[0]].as_array()) {
            for (std::size_t i = 0; i < a->size(); ++i) {
                toml::table* t = (*a)[i].as_table();
                if (!t) continue;
                // A step without a name is known by its action and number, as in messages.
                std::string name = (*t)["name"].value_or(std::string());
                if (name.empty() && path[0] == "step") name = (*t)["do"].value_or(std::string()) + "_" + std::to_string(i + 1);
                if (name == path[1]) return *t;
            }
        }
        throw ScenarioError(where + ": " + file + " has no " + path[0] + " named '" + path[1] + "'");
    }
    throw ScenarioError(where + ": not a key of the file: KEY (seed), TABLE.KEY (nodes.count, timing.quiet_ms) or " +
                        "step.NAME.KEY, group.NAME.KEY, expect.NAME.KEY");
}

// Applies one PATH=VALUE to the parsed file. The value is read as TOML (a
// number, true, a quoted string, an array) or else taken as a string, and it
// carries the setting as its source, so that a fault in it names the setting.
void applySetting(toml::table& root, const std::string& text, const std::string& file) {
    const std::string where = "--set " + text;
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
        throw ScenarioError(where + ": not PATH=VALUE (nodes.count=50, step.cut.at=20)");
    }
    std::vector<std::string> path;
    std::stringstream keys(text.substr(0, eq));
    for (std::string part; std::getline(keys, part, '.');) {
        if (part.empty()) throw ScenarioError(where + ": an empty name in the path");
        path.push_back(part);
    }
    if (text[eq - 1] == '.') throw ScenarioError(where + ": an empty name in the path");
    toml::table& table = settingTable(root, path, where, file);
    const std::string value = text.substr(eq + 1);
    toml::table parsed;
    try {
        parsed = toml::parse("v = " + value, where);
    } catch (const toml::parse_error&) {
        std::ostringstream quoted;
        quoted << toml::table{{"v", value}};
        parsed = toml::parse(quoted.str(), where);
    }
    toml::node* v = parsed.get("v");
    if (!v || parsed.size() != 1) throw ScenarioError(where + ": not one value");
    const toml::key key(path.back(), v->source());
    v->visit([&](auto& node) { table.insert_or_assign(key, std::move(node)); });
}

}  // namespace

void resolveGroups(Scenario& s) {
    const std::string reason = resolveGroupMembers(s);
    if (!reason.empty()) throw ScenarioError(s.source + ": " + reason);
}

Scenario parseScenario(const std::string& text, const std::string& file, const std::vector<std::string>& settings) {
    toml::table root;
    try {
        root = toml::parse(text, file);
    } catch (const toml::parse_error& e) {
        throw ScenarioError(placeOf(file, e.source()) + ": " + std::string(e.description()));
    }
    for (const std::string& setting : settings) applySetting(root, setting, file);
    Scenario s;
    s.source = file;
    std::map<std::string, std::string> places;  // "step.key" -> file:line:column
    Fields top(root, file, "the file", {"seed", "nodes", "timing", "group", "step", "expect"});
    if (auto v = top.integer("seed", 0, INT64_MAX)) s.seed = static_cast<uint64_t>(*v);

    if (const toml::node* n = root.get("nodes")) {
        Fields f(tableAt(*n, file, "[nodes]"), file, "[nodes]",
                 {"count", "first_address", "port", "contact", "host_network"});
        if (auto v = f.integer("count", limits::Nodes.low, limits::Nodes.high)) s.nodes = static_cast<int>(*v);
        if (auto v = f.string("first_address")) s.firstAddress = *v;
        if (auto v = f.integer("port", limits::Port.low, limits::Port.high)) s.port = static_cast<int>(*v);
        if (auto v = f.string("contact")) s.contact = *v;
        if (auto v = f.boolean("host_network")) s.hostNetwork = *v;
        if (!s.contact.empty() && !parseContact(s.contact)) {
            f.fail("contact", "contact '" + s.contact + "' is not IP:PORT (a dotted quad and a port from 1 to 65535)");
        }
        const bool host = s.hostNetwork || !s.contact.empty();
        if (!consecutiveAddresses(s.firstAddress, s.nodes, !host)) {
            f.fail(f.has("first_address") ? "first_address" : "count",
                   std::to_string(s.nodes) + " consecutive addresses from " + s.firstAddress +
                       (host ? " are not addresses" : " do not fit in the loopback range 127.0.0.1 to 127.255.255.254"));
        }
    }
    if (const toml::node* n = root.get("timing")) {
        Fields f(tableAt(*n, file, "[timing]"), file, "[timing]", {"join_timeout_ms", "settle_timeout_ms", "quiet_ms"});
        if (auto v = f.integer("join_timeout_ms", limits::TimeoutMs.low, limits::TimeoutMs.high)) s.joinTimeoutMs = static_cast<int>(*v);
        if (auto v = f.integer("settle_timeout_ms", limits::TimeoutMs.low, limits::TimeoutMs.high)) s.settleTimeoutMs = static_cast<int>(*v);
        if (auto v = f.integer("quiet_ms", limits::QuietMs.low, limits::QuietMs.high)) s.quietMs = static_cast<int>(*v);
    }

    s.groups.push_back(GroupSpec{"all", GroupSpec::Kind::Range, 1, s.nodes, 0, "all", {}});
    for (const toml::table* t : tablesOf(root, "group", file)) {
        Fields f(*t, file, "[[group]]", {"name", "first", "last", "share", "of", "rest"});
        GroupSpec g;
        auto name = f.string("name");
        if (!name || name->empty()) f.fail(t->source(), "a [[group]] needs a name");
        g.name = *name;
        if (s.group(g.name)) f.fail("name", "the group '" + g.name + "' is defined twice (\"all\" is every node)");
        const int ways = f.has("first") + f.has("share") + f.has("rest");
        if (ways != 1) f.fail(t->source(), "group '" + g.name + "' needs exactly one of first/last, share, rest");
        if (f.has("first")) {
            g.kind = GroupSpec::Kind::Range;
            g.first = static_cast<int>(*f.integer("first", limits::NodeNumber.low, limits::NodeNumber.high));
            g.last = static_cast<int>(f.integer("last", limits::NodeNumber.low, limits::NodeNumber.high).value_or(g.first));
            if (g.last < g.first) f.fail("last", "group '" + g.name + "': last comes before first");
            if (g.last > s.nodes) {
                f.fail("last", "group '" + g.name + "' reaches node " + std::to_string(g.last) + " of only " +
                                   std::to_string(s.nodes) + " nodes");
            }
        } else if (f.has("last")) {
            f.fail("last", "'last' needs 'first'");
        }
        if (f.has("share")) {
            g.kind = GroupSpec::Kind::Share;
            g.share = *f.percent("share");
            g.of = f.string("of").value_or("all");
            if (!s.group(g.of)) f.fail("of", "group '" + g.name + "' is drawn from the unknown group '" + g.of + "'");
        } else if (f.has("of")) {
            f.fail("of", "'of' goes with 'share'");
        }
        if (f.has("rest")) {
            if (!*f.boolean("rest")) f.fail("rest", "'rest' can only be true");
            g.kind = GroupSpec::Kind::Rest;
        }
        s.groups.push_back(g);
        const std::string reason = resolveGroupMembers(s);
        if (!reason.empty()) f.fail(t->source(), reason);
    }
    resolveGroups(s);  // also when the file names no group: "all" alone

    std::optional<int64_t> lastAt;
    for (const toml::table* t : tablesOf(root, "step", file)) {
        StepSpec st;
        st.place = placeOf(file, t->source());
        const toml::node* doNode = t->get("do");
        if (!doNode || !doNode->is_string()) {
            throw ScenarioError(st.place + ": a [[step]] needs do = one of start, join, lines, leave, crash, depart, "
                                           "restart, loss, partition, heal, snapshot, wait, churn");
        }
        st.action = doNode->as_string()->get();
        if (!Actions.count(st.action)) {
            throw ScenarioError(placeOf(file, doNode->source()) + ": unknown action '" + st.action + "'");
        }
        Fields f(*t, file, "a '" + st.action + "' step", stepKeys(st.action));
        st.name = f.string("name").value_or(st.action + "_" + std::to_string(s.steps.size() + 1));
        // A step's name is its phase in run.json, its path for --set and,
        // for a snapshot, its folder of tables/.
        if (st.name.empty()) f.fail("name", "a step's name must not be empty (leave 'name' out for <do>_<k>)");
        for (const StepSpec& other : s.steps) {
            if (other.name == st.name) f.fail("name", "two steps are named '" + st.name + "'");
        }
        for (const char* key : {"group", "of", "between", "groups", "until"}) {
            if (f.has(key)) places[st.name + "." + key] = f.place(key);
        }
        // When it acts.
        const int triggers = f.has("at") + f.has("after") + f.has("when");
        if (triggers > 1) f.fail(t->source(), "step '" + st.name + "' has more than one of at, after, when");
        if (auto v = f.seconds("at")) {
            st.trigger.kind = Trigger::Kind::At;
            st.trigger.ms = std::llround(*v * 1000);
            if (lastAt && st.trigger.ms < *lastAt) {
                f.fail("at", "step '" + st.name + "' at " + numberText(*v) + " s comes before an earlier step's time (" +
                                 secondsText(*lastAt) + " s): time goes backwards");
            }
            lastAt = st.trigger.ms;
        }
        if (auto v = f.seconds("after")) st.trigger.ms = std::llround(*v * 1000);
        if (auto when = f.string("when")) {
            if (*when == "quiet") {
                st.trigger.kind = Trigger::Kind::Quiet;
            } else if (*when == "members") {
                st.trigger.kind = Trigger::Kind::Members;
                auto m = f.integer("members", limits::NodeNumber.low, limits::NodeNumber.high);
                if (!m) f.fail("when", "when = \"members\" needs members = M");
                st.trigger.members = static_cast<int>(*m);
                st.trigger.group = f.string("of").value_or("all");
            } else {
                f.fail("when", "when must be \"quiet\" or \"members\"");
            }
            auto within = f.seconds("within", 0.001);
            if (!within) f.fail("when", "a step that waits (when) needs its bound: within = seconds");
            st.trigger.withinMs = std::llround(*within * 1000);
        } else {
            for (const char* key : {"members", "of", "within"}) {
                if (f.has(key)) f.fail(key, std::string("'") + key + "' goes with when");
            }
        }
        // What it does.
        st.group = f.string("group").value_or("all");
        if (auto v = f.string("mode")) {
            if (*v != "one-by-one" && *v != "burst" && *v != "rate") {
                f.fail("mode", "mode must be \"one-by-one\", \"burst\" or \"rate\"");
            }
            st.mode = *v;
        }
        if (auto v = f.number("rate", 0.001, 100000, " per s")) st.rate = *v;
        if (st.action == "join" && st.mode == "rate" && st.rate <= 0) f.fail(t->source(), "mode = \"rate\" needs rate");
        if (auto v = f.integer("count", 0, 1000000)) st.count = static_cast<int>(*v);
        if (st.action == "lines" && !f.has("count")) st.count = 1;
        st.share = f.percent("share");
        if ((st.action == "leave" || st.action == "crash") && !f.has("count") && !st.share) {
            f.fail(t->source(), "step '" + st.name + "' needs count or share");
        }
        if (f.has("count") && st.share) f.fail("share", "count and share do not go together");
        if (auto v = f.integer("leave", 0, 1000000)) st.leave = static_cast<int>(*v);
        if (auto v = f.integer("crash", 0, 1000000)) st.crash = static_cast<int>(*v);
        if (st.action == "loss") {
            auto p = f.percent("percent");
            if (!p) f.fail(t->source(), "a loss step needs percent");
            st.percent = *p;
        }
        if (auto v = f.string("types")) {
            static constexpr std::string_view Letters = "NnXxBbDdLlS";
            if (v->empty()) f.fail("types", "types names at least one datagram type letter (" + std::string(Letters) + ")");
            for (char c : *v) {
                if (Letters.find(c) == std::string_view::npos) {
                    f.fail("types", "'" + std::string(1, c) + "' is no datagram type letter (" + std::string(Letters) + ")");
                }
            }
            for (char c : Letters) {
                if (v->find(c) != std::string::npos) st.types.push_back(c);
            }
        }
        if (auto v = f.strings("between")) {
            if (v->size() != 2) f.fail("between", "between names two groups");
            st.between = *v;
        }
        if (auto v = f.strings("groups")) {
            if (v->size() != 2) f.fail("groups", "groups names two groups");
            st.groups = *v;
        }
        if (st.action == "partition" && st.groups.empty()) f.fail(t->source(), "a partition needs groups = [A, B]");
        if (auto v = f.seconds("every", 0.01)) st.everyS = *v;
        if (auto v = f.string("until")) st.until = *v;
        if (auto v = f.string("as")) {
            if (v->empty() || leavesItsFolder(*v)) {
                f.fail("as", "'as' names a folder of tables/: no slash, not empty");
            }
            st.as = *v;
        }
        if (st.action == "snapshot" && st.as.empty()) {
            // Without 'as' the step's own name is the folder of its tables,
            // which must stay inside tables/ as well.
            if (leavesItsFolder(st.name)) {
                f.fail("name", "a snapshot step without 'as' names its folder of tables/ by its name: no slash, "
                               "not . or ..");
            }
        }
        if (st.action == "churn") {
            ChurnModel& m = st.churn;
            m.distribution = f.string("model").value_or("exponential");
            if (m.distribution != "exponential" && m.distribution != "pareto" && m.distribution != "weibull") {
                f.fail("model", "model must be \"exponential\", \"pareto\" or \"weibull\"");
            }
            auto mean = f.seconds("mean", 0.001);
            if (!mean) f.fail(t->source(), "a churn step needs mean (seconds)");
            m.meanS = *mean;
            if (m.distribution != "exponential") {
                auto shape = f.number("shape", 0.01, 100);
                if (!shape) f.fail(t->source(), "model = \"" + m.distribution + "\" needs shape");
                if (m.distribution == "pareto" && *shape <= 1) {
                    f.fail("shape", "a Pareto shape must be above 1 for the mean to exist");
                }
                m.shape = *shape;
            } else if (f.has("shape")) {
                f.fail("shape", "the exponential model has no shape");
            }
            m.crashShare = f.percent("crash_share").value_or(0);
            m.rejoin = f.boolean("rejoin").value_or(false);
            m.pauseS = f.seconds("pause", 0.001).value_or(m.pauseS);
            auto duration = f.seconds("duration", 0.001);
            if (!duration) f.fail(t->source(), "a churn step needs duration (seconds)");
            m.durationS = *duration;
        }
        s.steps.push_back(st);
    }

    std::size_t k = 0;
    for (const toml::table* t : tablesOf(root, "expect", file)) {
        Fields f(*t, file, "[[expect]]", {"name", "check", "steps", "at_least", "at_most", "snapshot"});
        ExpectSpec e;
        places["expect" + std::to_string(k)] = placeOf(file, t->source());
        for (const char* key : {"steps", "snapshot"}) {
            if (f.has(key)) places["expect" + std::to_string(k) + "." + key] = f.place(key);
        }
        auto check = f.string("check");
        static const std::set<std::string> checks = {"delivery", "joins", "ring", "dangling_next", "components"};
        if (!check || !checks.count(*check)) {
            const toml::node* c = t->get("check");
            f.fail(c ? c->source() : t->source(),
                   "an [[expect]] needs check = one of delivery, joins, ring, dangling_next, components");
        }
        e.check = *check;
        e.name = f.string("name").value_or(e.check + "_" + std::to_string(k + 1));
        e.steps = f.strings("steps").value_or(std::vector<std::string>{});
        const bool percent = e.check == "delivery" || e.check == "joins";
        if (percent) {
            e.atLeast = f.percent("at_least");
            e.atMost = f.percent("at_most");
        } else {
            if (auto v = f.integer("at_least", 0, 1000000)) e.atLeast = static_cast<double>(*v);
            if (auto v = f.integer("at_most", 0, 1000000)) e.atMost = static_cast<double>(*v);
        }
        if (e.check == "ring" && (e.atLeast || e.atMost)) f.fail(t->source(), "check = \"ring\" takes no bound");
        if (e.check == "delivery" || e.check == "joins") {
            if (!e.atLeast && !e.atMost) f.fail(t->source(), "check = \"" + e.check + "\" needs at_least or at_most");
        }
        if (e.check == "dangling_next" && !e.atLeast && !e.atMost) e.atMost = 0;
        if (e.check == "components" && !e.atLeast && !e.atMost) e.atMost = 1;
        if (f.has("steps") && e.check != "delivery") f.fail("steps", "'steps' goes with check = \"delivery\"");
        e.snapshot = f.string("snapshot").value_or("end");
        s.expectations.push_back(e);
        ++k;
    }
    checkReferences(s, places);
    return s;
}

Scenario loadScenario(const std::string& path, const std::vector<std::string>& settings) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(path + ": cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    return parseScenario(text.str(), path, settings);
}

Scenario scenarioFromOptions(const RunOptions& o) {
    Scenario s;
    s.source = "flags";
    s.seed = o.seed;
    s.nodes = o.nodes;
    s.firstAddress = o.firstAddress;
    s.port = o.port;
    if (auto c = parseContact(o.contact)) s.contact = c->ip + ":" + std::to_string(c->port);
    s.hostNetwork = o.hostNetwork;
    s.joinTimeoutMs = o.joinTimeoutMs;
    s.settleTimeoutMs = o.settleTimeoutMs;
    s.quietMs = o.quietMs;
    s.groups.push_back(GroupSpec{"all", GroupSpec::Kind::Range, 1, o.nodes, 0, "all", {}});
    const int newcomers = o.contact.empty() ? o.nodes - 1 : o.nodes;
    const int burst = std::min(o.burst, newcomers);
    if (burst > 0) {
        s.groups.push_back(GroupSpec{"sequential", GroupSpec::Kind::Range, 1, o.nodes - burst, 0, "all", {}});
        s.groups.push_back(GroupSpec{"burst", GroupSpec::Kind::Rest, 0, 0, 0, "all", {}});
        if (o.nodes - burst < 1) s.groups.erase(s.groups.begin() + 1);
    }
    auto step = [&](const std::string& name, const std::string& action) -> StepSpec& {
        StepSpec st;
        st.name = name;
        st.action = action;
        s.steps.push_back(st);
        return s.steps.back();
    };
    if (o.loss > 0) step("loss", "loss").percent = o.loss;
    step("start", "start");
    // The sequential joins, then the last newcomers through one contact at once.
    if (burst == 0) {
        step("build", "join");
    } else if (s.group("sequential")) {
        step("build", "join").group = "sequential";
        StepSpec& b = step("build_burst", "join");
        b.group = "burst";
        b.mode = "burst";
    } else {
        StepSpec& b = step("build", "join");
        b.group = "burst";
        b.mode = "burst";
    }
    if (o.holdMembers > 0) {
        StepSpec& h = step("hold", "wait");
        h.trigger = Trigger{Trigger::Kind::Members, 0, o.holdMembers, "all", o.holdTimeoutMs};
    }
    StepSpec& built = step("snapshot_built", "snapshot");
    built.as = "built";
    built.trigger = Trigger{Trigger::Kind::Quiet, 0, 0, "all", o.settleTimeoutMs};
    if (o.lines > 0) step("lines", "lines").count = o.lines;
    if (o.leave + o.crash > 0) {
        StepSpec& churn = step("churn", "depart");
        churn.leave = o.leave;
        churn.crash = o.crash;
        StepSpec& churned = step("snapshot_churned", "snapshot");
        churned.as = "churned";
        churned.trigger = Trigger{Trigger::Kind::Quiet, 0, 0, "all", o.settleTimeoutMs};
        if (o.lines > 0) step("lines_churned", "lines").count = o.lines;
    }
    resolveGroups(s);
    return s;
}

std::string scenarioToml(const Scenario& s) {
    std::string t = "# palaver-lab scenario (" + s.source + ")\n";
    t += "seed = " + std::to_string(s.seed) + "\n\n";
    t += "[nodes]\ncount = " + std::to_string(s.nodes) + "\nfirst_address = " + quoted(s.firstAddress) +
         "\nport = " + std::to_string(s.port) + "\n";
    if (!s.contact.empty()) t += "contact = " + quoted(s.contact) + "\n";
    if (s.hostNetwork) t += "host_network = true\n";
    t += "\n[timing]\njoin_timeout_ms = " + std::to_string(s.joinTimeoutMs) +
         "\nsettle_timeout_ms = " + std::to_string(s.settleTimeoutMs) + "\nquiet_ms = " + std::to_string(s.quietMs) +
         "\n";
    for (const GroupSpec& g : s.groups) {
        if (g.name == "all") continue;
        t += "\n[[group]]\nname = " + quoted(g.name) + "\n";
        switch (g.kind) {
        case GroupSpec::Kind::Range:
            t += "first = " + std::to_string(g.first) + "\nlast = " + std::to_string(g.last) + "\n";
            break;
        case GroupSpec::Kind::Share:
            t += "share = " + numberText(g.share) + "\nof = " + quoted(g.of) + "\n";
            break;
        case GroupSpec::Kind::Rest:
            t += "rest = true\n";
            break;
        }
    }
    for (const StepSpec& st : s.steps) {
        t += "\n[[step]]\nname = " + quoted(st.name) + "\ndo = " + quoted(st.action) + "\n";
        switch (st.trigger.kind) {
        case Trigger::Kind::After:
            if (st.trigger.ms > 0) t += "after = " + secondsText(st.trigger.ms) + "\n";
            break;
        case Trigger::Kind::At:
            t += "at = " + secondsText(st.trigger.ms) + "\n";
            break;
        case Trigger::Kind::Quiet:
            t += "when = \"quiet\"\nwithin = " + secondsText(st.trigger.withinMs) + "\n";
            break;
        case Trigger::Kind::Members:
            t += "when = \"members\"\nmembers = " + std::to_string(st.trigger.members) +
                 "\nof = " + quoted(st.trigger.group) + "\nwithin = " + secondsText(st.trigger.withinMs) + "\n";
            break;
        }
        const std::set<std::string> keys = stepKeys(st.action);
        if (keys.count("group") && st.group != "all") t += "group = " + quoted(st.group) + "\n";
        if (keys.count("mode") && st.mode != "one-by-one") t += "mode = " + quoted(st.mode) + "\n";
        if (keys.count("rate") && st.rate > 0) t += "rate = " + numberText(st.rate) + "\n";
        if (keys.count("count") && (st.count > 0 || !st.share)) t += "count = " + std::to_string(st.count) + "\n";
        if (keys.count("share") && st.share) t += "share = " + numberText(*st.share) + "\n";
        if (st.action == "depart") {
            t += "leave = " + std::to_string(st.leave) + "\ncrash = " + std::to_string(st.crash) + "\n";
        }
        if (st.action == "loss") t += "percent = " + numberText(st.percent) + "\n";
        if (!st.between.empty()) t += "between = " + stringList(st.between) + "\n";
        if (!st.types.empty()) t += "types = " + quoted(st.types) + "\n";
        if (!st.groups.empty()) t += "groups = " + stringList(st.groups) + "\n";
        if (!st.as.empty()) t += "as = " + quoted(st.as) + "\n";
        if (st.everyS > 0) t += "every = " + numberText(st.everyS) + "\n";
        if (!st.until.empty()) t += "until = " + quoted(st.until) + "\n";
        if (st.action == "churn") {
            const ChurnModel& m = st.churn;
            t += "model = " + quoted(m.distribution) + "\nmean = " + numberText(m.meanS) + "\n";
            if (m.distribution != "exponential") t += "shape = " + numberText(m.shape) + "\n";
            t += "crash_share = " + numberText(m.crashShare) + "\nrejoin = " + (m.rejoin ? "true" : "false") +
                 "\npause = " + numberText(m.pauseS) + "\nduration = " + numberText(m.durationS) + "\n";
        }
    }
    for (const ExpectSpec& e : s.expectations) {
        t += "\n[[expect]]\nname = " + quoted(e.name) + "\ncheck = " + quoted(e.check) + "\n";
        if (!e.steps.empty()) t += "steps = " + stringList(e.steps) + "\n";
        const bool percent = e.check == "delivery" || e.check == "joins";
        auto bound = [&](const char* key, const std::optional<double>& v) {
            if (!v) return;
            t += std::string(key) + " = " + (percent ? numberText(*v) : std::to_string(std::llround(*v))) + "\n";
        };
        bound("at_least", e.atLeast);
        bound("at_most", e.atMost);
        if (e.snapshot != "end") t += "snapshot = " + quoted(e.snapshot) + "\n";
    }
    return t;
}

}  // namespace palaver::lab
