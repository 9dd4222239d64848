// Why a node missed a line and where a join broke off, from what the run
// left: the nodes' logs, the snapshots of their tables, run.json's times and
// the kernel's record of the datagrams its rules dropped (drops.csv).
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "analyze/analyze_model.h"

namespace palaver::lab {

const std::vector<std::string>& missCauses() {
    static const std::vector<std::string> causes = {"unexplained", "unknown", "dropped", "partitioned",
                                                    "cut off", "ended", "joined later"};
    return causes;
}

const std::vector<std::string>& joinSteps() {
    static const std::vector<std::string> steps = {
        "join request", "join referral", "successor request", "successor accept", "predecessor request",
        "predecessor accept", "walk", "walk reply", "greeting", "none"};
    return steps;
}

namespace {

std::string ms(int64_t v) { return std::to_string(v) + " ms"; }

// Up to `most` names joined by ", ", with "and N more" for the rest.
std::string listed(const std::vector<std::string>& names, std::size_t most = 4) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < most; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > most) text += " and " + std::to_string(names.size() - most) + " more";
    return text;
}

// Whether the drops a run recorded can be trusted to hold every drop: a
// drops.csv was read and run.json does not say the log was off or lossy.
// `why` says what is missing otherwise.
bool dropsComplete(const RunData& r, std::string& why) {
    if (!r.hasDropFile) {
        why = "the folder has no drops.csv";
        return false;
    }
    if (r.drops.is_object()) {
        if (!r.drops.value("recorded", true)) {
            why = "the kernel's drops were not recorded (" + r.drops.value("reason", std::string("no reason given")) + ")";
            return false;
        }
        const auto overruns = r.drops.find("overruns");
        if (overruns != r.drops.end() && overruns->is_number() && overruns->get<double>() > 0) {
            why = "the drop log overran " + overruns->dump() + " times, losing rows";
            return false;
        }
        const auto difference = r.drops.find("difference");
        if (difference != r.drops.end() && difference->is_number() && difference->get<double>() != 0) {
            why = "drops.csv and the rules' counter differ by " + difference->dump();
            return false;
        }
    }
    return true;
}

// The lives of one address, in life order.
std::vector<std::size_t> livesOf(const RunData& r, const std::string& address) {
    std::vector<std::size_t> lives;
    auto last = r.nodeIndex.find(address);
    if (last == r.nodeIndex.end()) return lives;
    for (std::size_t i = last->second + 1; i-- > 0 && r.nodes[i].address == address;) lives.push_back(i);
    std::reverse(lives.begin(), lives.end());
    return lives;
}

// Whether a life had joined the overlay by `at`.
bool inOverlayAt(const NodeInfo& n, std::optional<int64_t> at) {
    if (n.join == "first" || n.join.empty()) return true;
    if (n.join != "joined") return false;
    return !at || !n.joinEndMs || *n.joinEndMs <= *at;
}

// The groups an address belongs to.
std::set<std::string> groupsOf(const RunData& r, const std::string& address) {
    std::set<std::string> in;
    for (const auto& [name, members] : r.groups) {
        if (std::find(members.begin(), members.end(), address) != members.end()) in.insert(name);
    }
    return in;
}

// The partition in force at `at` that separates a and b, as "A | B"; "" for none.
std::string partitionBetween(const RunData& r, std::optional<int64_t> at, const std::string& a,
                             const std::string& b) {
    if (!at) return std::string();
    const NetworkState* state = nullptr;
    for (const NetworkState& s : r.network) {
        if (s.ms <= *at) state = &s;
    }
    if (!state) return std::string();
    const std::set<std::string> ga = groupsOf(r, a), gb = groupsOf(r, b);
    for (const auto& [x, y] : state->partitions) {
        if ((ga.count(x) && gb.count(y)) || (ga.count(y) && gb.count(x))) {
            std::string pair = x;
            pair += " | ";
            pair += y;
            return pair;
        }
    }
    return std::string();
}

}  // namespace

void explainMisses(Analysis& a) {
    const RunData& r = a.run;
    std::string dropGap;
    const bool dropsKnown = dropsComplete(r, dropGap);
    const bool impaired = std::any_of(r.events.begin(), r.events.end(), [](const RunEvent& e) { return e.impaired; }) ||
                          (r.parameters.contains("loss") && r.parameters["loss"].is_number() &&
                           r.parameters["loss"].get<double>() > 0);
    if (!r.hasRunJson) {
        a.causeLimits.push_back(
            "no run.json: when each node joined or ended, the partitions and the kernel's drops are not known, so a "
            "miss is explained only as cut off (from the closing reports), else unknown");
    } else if (!dropsKnown && impaired) {
        a.causeLimits.push_back("the network dropped datagrams but " + dropGap +
                                ", so a miss that no other cause explains is unknown rather than unexplained");
    }

    // Who points at whom in each snapshot: address -> the addresses whose
    // next, back or random entries name it.
    std::map<std::string, std::map<std::string, std::vector<std::string>>> pointedAt;
    auto inNeighbours = [&](const std::string& snapshot) -> const std::map<std::string, std::vector<std::string>>* {
        auto cached = pointedAt.find(snapshot);
        if (cached != pointedAt.end()) return &cached->second;
        for (const Snapshot& s : r.snapshots) {
            if (s.name != snapshot || s.tables.empty()) continue;
            auto& in = pointedAt[snapshot];
            for (const auto& [self, t] : s.tables) {
                std::set<std::string> targets{t.next, t.back};
                targets.insert(t.random.begin(), t.random.end());
                for (const std::string& target : targets) {
                    if (!target.empty() && target != self) in[target].push_back(self);
                }
            }
            return &in;
        }
        return nullptr;
    };

    // The drops of chat copies, by (originator, sequence).
    std::map<std::pair<std::string, int32_t>, std::vector<std::size_t>> chatDrops;
    for (std::size_t i = 0; i < r.dropRecords.size(); ++i) {
        const DroppedDatagram& d = r.dropRecords[i];
        if (d.type == 'S' && d.sequence) chatDrops[{d.originator, *d.sequence}].push_back(i);
    }

    for (std::size_t ti = 0; ti < a.traces.size(); ++ti) {
        const Trace& t = a.traces[ti];
        if (t.kind != "typed") continue;
        std::vector<char> accepted(r.nodes.size(), 0);
        for (const auto& [node, hops] : t.accepts) accepted[node] = 1;
        // A life that accepted the line, by address.
        std::set<std::string> acceptedAt;
        for (const auto& [node, hops] : t.accepts) acceptedAt.insert(r.nodes[node].address);
        // The flood is over by the line's quiet or its last acceptance.
        std::optional<int64_t> over = t.lastAcceptMs;
        for (const TypedLine& line : r.lines) {
            if (line.originator == t.originator && line.sequence == t.sequence && line.quietMs) {
                over = std::max(over.value_or(*line.quietMs), *line.quietMs);
            }
        }
        const auto lineDrops = chatDrops.find({t.originator, t.sequence});
        // Who pointed at whom: the snapshot the line's paths were taken in,
        // else (no snapshot before the line) the first one after it.
        std::string snapshot = t.snapshot;
        for (const Snapshot& s : r.snapshots) {
            if (snapshot.empty() && !s.tables.empty() && (!s.ms || !t.typedMs || *s.ms >= *t.typedMs)) {
                snapshot = s.name;
            }
        }
        const auto* in = snapshot.empty() ? nullptr : inNeighbours(snapshot);

        for (std::size_t ni = 0; ni < r.nodes.size(); ++ni) {
            const NodeInfo& n = r.nodes[ni];
            const bool alive = r.hasRunJson ? n.aliveAt(t.typedMs) : !n.logPath.empty();
            if (!alive || accepted[ni]) continue;
            Miss m;
            m.trace = ti;
            m.node = ni;
            if (lineDrops != chatDrops.end()) {
                for (std::size_t di : lineDrops->second) {
                    const DroppedDatagram& d = r.dropRecords[di];
                    if (d.destination == n.address && (!n.startedMs || d.ms >= *n.startedMs) &&
                        (!n.fateMs || d.ms <= *n.fateMs)) {
                        m.drops.push_back(di);
                    }
                }
            }
            const bool allPartition =
                !m.drops.empty() && std::all_of(m.drops.begin(), m.drops.end(), [&](std::size_t di) {
                    return r.dropRecords[di].rule == "partition";
                });
            const std::string partition = partitionBetween(r, t.typedMs, t.originator, n.address);

            // The nodes pointing at it in the line's snapshot, and what each did.
            std::vector<std::string> senders, gone, missed;
            if (in) {
                auto it = in->find(n.address);
                if (it != in->end()) {
                    for (const std::string& peer : it->second) {
                        if (acceptedAt.count(peer)) {
                            senders.push_back(peer);
                            continue;
                        }
                        bool living = !r.hasRunJson;
                        for (std::size_t li : livesOf(r, peer)) living = living || r.nodes[li].aliveAt(t.typedMs);
                        (living ? missed : gone).push_back(peer);
                    }
                }
            }

            if (r.hasRunJson && !inOverlayAt(n, t.typedMs)) {
                m.cause = "joined later";
                if (n.join == "failed") {
                    m.detail = "its join failed";
                } else if (n.joinEndMs && t.typedMs) {
                    m.detail = "its join completed at " + ms(*n.joinEndMs) + ", " + ms(*n.joinEndMs - *t.typedMs) +
                               " after the line was typed";
                } else {
                    m.detail = "its join had not completed";
                }
            } else if (r.hasRunJson && n.fateMs && t.typedMs && (!over || *n.fateMs <= *over)) {
                m.cause = "ended";
                m.detail = "it " + n.state + " at " + ms(*n.fateMs) + ", " + ms(*n.fateMs - *t.typedMs) +
                           " after the line was typed";
            } else if (!partition.empty() || allPartition) {
                m.cause = "partitioned";
                m.detail = !partition.empty() ? "partition " + partition + " in force when the line was typed"
                                              : std::to_string(m.drops.size()) + " copies dropped by the partition";
            } else if (!m.drops.empty()) {
                m.cause = "dropped";
                std::vector<std::string> from;
                std::set<std::string> covered;
                for (std::size_t di : m.drops) {
                    const DroppedDatagram& d = r.dropRecords[di];
                    from.push_back(d.source + " at " + ms(d.ms) + " (" + d.rule + ")");
                    covered.insert(d.source);
                }
                m.detail = std::to_string(m.drops.size()) + (m.drops.size() == 1 ? " copy" : " copies") +
                           " dropped toward it: " + listed(from);
                std::vector<std::string> uncovered;
                for (const std::string& s : senders) {
                    if (!covered.count(s)) uncovered.push_back(s);
                }
                if (!uncovered.empty()) {
                    m.detail += "; no drop recorded from " + listed(uncovered) +
                                ", which pointed at it in the snapshot and accepted the line";
                }
            } else if (in && senders.empty()) {
                m.cause = "cut off";
                const std::size_t pointing = gone.size() + missed.size();
                if (pointing == 0) {
                    m.detail = "no node pointed at it in snapshot " + snapshot;
                } else {
                    m.detail = "of the " + std::to_string(pointing) + " nodes pointing at it in snapshot " +
                               snapshot + ", " + std::to_string(gone.size()) + " had ended and " +
                               std::to_string(missed.size()) + " missed the line too";
                    if (!missed.empty()) m.detail += " (" + listed(missed) + ")";
                }
            } else {
                std::vector<std::string> lacking;
                if (!r.hasRunJson) lacking.push_back("no run.json");
                if (!in) lacking.push_back("no snapshot of the tables for this line");
                if (r.hasRunJson && !dropsKnown && impaired) lacking.push_back(dropGap);
                m.cause = lacking.empty() ? "unexplained" : "unknown";
                m.detail = senders.empty() ? std::string("no node pointing at it is known")
                                           : std::to_string(senders.size()) + " nodes pointing at it accepted the line (" +
                                                 listed(senders) + ") and no drop toward it was recorded";
                if (!lacking.empty()) m.detail += "; " + listed(lacking);
            }
            a.misses.push_back(std::move(m));
        }
    }
}

void explainFailedJoins(Analysis& a) {
    const RunData& r = a.run;
    if (!r.hasRunJson) {
        a.causeLimits.push_back("no run.json: which joins failed is not known");
        return;
    }
    std::string dropGap;
    const bool dropsKnown = dropsComplete(r, dropGap);

    // Whether an address's logs (any life) show a datagram of `type`
    // carrying `carried`.
    auto received = [&](const std::string& address, char type, const std::string& carried) {
        for (std::size_t li : livesOf(r, address)) {
            auto it = r.nodes[li].handshake.find(type);
            if (it == r.nodes[li].handshake.end()) continue;
            if (carried.empty() || std::find(it->second.begin(), it->second.end(), carried) != it->second.end()) {
                return true;
            }
        }
        return false;
    };
    // "ADDRESS crashed at T" when no life of the address was running at
    // `until`; "" when one was.
    auto ended = [&](const std::string& address, std::optional<int64_t> until) {
        const std::vector<std::size_t> lives = livesOf(r, address);
        if (lives.empty()) return address + " is no node of the run";
        for (std::size_t li : lives) {
            if (r.nodes[li].aliveAt(until)) return std::string();
        }
        // The life that had begun by then.
        const NodeInfo* last = &r.nodes[lives.front()];
        for (std::size_t li : lives) {
            if (!until || !r.nodes[li].startedMs || *r.nodes[li].startedMs <= *until) last = &r.nodes[li];
        }
        return address + " " + last->state + (last->fateMs ? " at " + ms(*last->fateMs) : std::string());
    };

    for (std::size_t ni = 0; ni < r.nodes.size(); ++ni) {
        const NodeInfo& n = r.nodes[ni];
        if (n.join != "failed") continue;
        const std::string& w = n.address;
        const std::string& c = n.contact;
        const std::optional<int64_t> from = n.joinStartMs;
        const std::optional<int64_t> until = n.joinGivenUpMs ? n.joinGivenUpMs : n.fateMs;
        auto own = [&](char type) {
            auto it = n.handshake.find(type);
            return it == n.handshake.end() ? std::vector<std::string>() : it->second;
        };
        const std::vector<std::string> referral = own('n');
        const std::string successor = referral.empty() ? std::string() : referral.front();

        struct Step {
            const char* name;
            char type;
            std::string sender, receiver;  // "" where any will do
            bool happened;
        };
        const std::vector<Step> steps = {
            {"join request", 'N', w, c, received(c, 'N', w)},
            {"join referral", 'n', c, w, !referral.empty()},
            {"successor request", 'X', w, successor, !successor.empty() && received(successor, 'X', w)},
            {"successor accept", 'x', successor, w, !own('x').empty()},
            {"predecessor request", 'B', w, c, received(c, 'B', w)},
            {"predecessor accept", 'b', c, w, !own('b').empty()},
            {"walk reply", 'l', "", w, !own('l').empty()},
            {"greeting", 'S', w, w, n.ownGreetings > 0},
        };
        JoinFailure f;
        f.node = ni;
        const Step* broken = nullptr;
        for (const Step& s : steps) {
            if (!s.happened) {
                broken = &s;
                break;
            }
        }
        if (!broken) {
            f.step = "none";
            f.cause = "given up";
            f.detail = "every step happened: the join completed after the lab had given it up";
            a.failedJoins.push_back(std::move(f));
            continue;
        }
        f.step = broken->name;
        // The drops of this join's datagrams, in the join's time.
        auto dropsOf = [&](char type, const std::string& sender, const std::string& receiver,
                           const std::string& originator) {
            std::vector<const DroppedDatagram*> found;
            for (const DroppedDatagram& d : r.dropRecords) {
                if (d.type != type || (from && d.ms < *from) || (until && d.ms > *until)) continue;
                if (!sender.empty() && d.source != sender) continue;
                if (!receiver.empty() && d.destination != receiver) continue;
                if (!originator.empty() && d.originator != originator) continue;
                found.push_back(&d);
            }
            return found;
        };
        std::vector<const DroppedDatagram*> dropped;
        if (broken->type == 'l') {
            // The walk travels from node to node before its reply: a drop of
            // either breaks it.
            dropped = dropsOf('L', "", "", w);
            if (!dropped.empty()) {
                f.step = "walk";
            } else {
                dropped = dropsOf('l', "", w, "");
            }
        } else if (broken->type != 'S') {
            dropped = dropsOf(broken->type, broken->sender, broken->receiver, "");
        }
        if (!dropped.empty()) {
            const DroppedDatagram& d = *dropped.front();
            f.cause = "dropped";
            f.detail = std::string(1, d.type) + " from " + d.source + " to " + d.destination + " dropped at " +
                       ms(d.ms) + " (" + d.rule + ")";
            if (dropped.size() > 1) f.detail += ", " + std::to_string(dropped.size() - 1) + " more like it";
            a.failedJoins.push_back(std::move(f));
            continue;
        }
        // The two ends of the step that broke off (the walk's first hop is
        // the contact).
        std::string gone;
        for (const std::string& who : {broken->sender.empty() ? c : broken->sender, broken->receiver}) {
            if (gone.empty() && !who.empty()) gone = ended(who, until);
        }
        // A walk lost without a drop: a node it passed may have sent it on
        // to a node that had ended, where nobody takes it in. The logs hold
        // no times, so every life of the run that logged a walk of this
        // address while the join ran counts as one it may have passed.
        if (gone.empty() && broken->type == 'l') {
            std::vector<std::string> sinks;
            for (const NodeInfo& p : r.nodes) {
                if ((until && p.startedMs && *p.startedMs > *until) || (from && p.fateMs && *p.fateMs < *from)) continue;
                if (!p.walkTtl.count(w)) continue;
                const StatusTable* table = nullptr;
                for (const Snapshot& s : r.snapshots) {
                    auto t = s.tables.find(p.address);
                    if (t != s.tables.end() && (!table || !s.ms || !until || *s.ms <= *until)) table = &t->second;
                }
                if (!table) continue;
                std::vector<std::string> names{table->next, table->back};
                names.insert(names.end(), table->random.begin(), table->random.end());
                for (const std::string& peer : names) {
                    const std::string end = peer.empty() ? std::string() : ended(peer, until);
                    if (!end.empty()) sinks.push_back(p.address + " names " + end);
                }
            }
            std::sort(sinks.begin(), sinks.end());
            sinks.erase(std::unique(sinks.begin(), sinks.end()), sinks.end());
            if (!sinks.empty()) {
                gone = "lost without a recorded drop while nodes that passed walks of it named ended nodes (" +
                       listed(sinks, 3) + "): a step sent to an ended node is lost";
            }
        }
        const bool busy = std::find(n.joinGivenUpBy.begin(), n.joinGivenUpBy.end(), "quiet") == n.joinGivenUpBy.end();
        if (!gone.empty()) {
            f.cause = "ended";
            f.detail = gone;
        } else if (busy && std::find(n.joinGivenUpBy.begin(), n.joinGivenUpBy.end(), "timeout") !=
                               n.joinGivenUpBy.end()) {
            f.cause = "given up";
            f.detail = "the join's timeout passed while the overlay was still busy; no drop of its " +
                       std::string(broken->name) + " was recorded";
        } else {
            f.cause = dropsKnown ? "unexplained" : "unknown";
            f.detail = "no drop of its " + std::string(broken->name) + " was recorded" +
                       (dropsKnown ? std::string() : " (" + dropGap + ")");
            if (broken->type == 'l') f.detail += "; the walk or its reply was lost without a recorded drop";
        }
        a.failedJoins.push_back(std::move(f));
    }
}

}  // namespace palaver::lab
