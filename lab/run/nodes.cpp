#include "nodes.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <thread>

namespace palaver::lab {

namespace {
constexpr std::chrono::milliseconds StopTimeout{10000};
}

LocalNodes::LocalNodes(std::size_t count, std::chrono::steady_clock::time_point start)
    : start_(start), lives_(count, 0), nodes_(count) {}

void LocalNodes::stamp(std::size_t i, int life, std::string_view originator, int32_t sequence, int32_t ttl) {
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    AcceptStamp s{ms, i, life, std::string(originator.substr(0, AddressFieldWidth + 1)), sequence, ttl};
    std::lock_guard<std::mutex> guard(acceptsMutex_);
    accepts_.push_back(std::move(s));
}

std::optional<std::vector<AcceptStamp>> LocalNodes::accepts() const {
    std::lock_guard<std::mutex> guard(acceptsMutex_);
    return accepts_;
}

int LocalNodes::start(std::size_t i, const std::string& ip, int port, const std::string& dir, uint32_t seed,
                      int32_t& id, std::string& error) {
    if (nodes_[i]) {
        // A new life: the old node has ended (left or crashed); its counts
        // stay in the overlay's activity.
        retired_ += nodes_[i]->SentCount.load() + nodes_[i]->ReceivedCount.load();
        nodes_[i].reset();
    }
    nodes_[i] = std::make_unique<Node>();
    Node& node = *nodes_[i];
    copyField(node.NodeName, "lab");
    node.LogFlag = 1;
    node.setFileDirectory(dir);
    // The life this start begins; counted only once it has started.
    const int life = lives_[i] + 1;
    node.setAcceptHook([this, i, life](std::string_view originator, int32_t sequence, int32_t ttl) {
        stamp(i, life, originator, sequence, ttl);
    });
    node.initialise(seed);
    const int result = node.startNode(ip, port);
    if (result != 0) {
        error = "the address cannot be bound (in use, or not an address of this host)";
        return result;
    }
    if (!node.ReceiverAlive.load()) {
        error = "no receive thread could be started";
        return 4;
    }
    lives_[i] = life;
    auto guard = node.lock();
    id = node.state().self.id;
    return 0;
}

void LocalNodes::join(std::size_t i, const std::string& ip, int port) { nodes_[i]->requestJoin(ip, port); }

int32_t LocalNodes::type(std::size_t i, const std::string& text) { return nodes_[i]->sendOwnChat(text); }

void LocalNodes::leaveRing(std::size_t i) { nodes_[i]->leaveRing(); }

void LocalNodes::crash(std::size_t i) { nodes_[i]->crash(); }

bool LocalNodes::stop(std::size_t i) {
    Node& node = *nodes_[i];
    const auto deadline = std::chrono::steady_clock::now() + StopTimeout;
    while (node.ReceiverAlive.load()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            node.crash();
            return false;
        }
        node.sendStop();
        for (int k = 0; k < 100 && node.ReceiverAlive.load(); ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    node.stopReceiving();
    node.closeEndpoint();
    return true;
}

void LocalNodes::nudgeStop(std::size_t i) { nodes_[i]->sendStop(); }

NodeCounters LocalNodes::counters(std::size_t i) const {
    NodeCounters c;
    if (!nodes_[i]) return c;
    const Node& n = *nodes_[i];
    c.sent = n.SentCount.load();
    c.received = n.ReceivedCount.load();
    c.joinState = n.JoinState.load();
    c.chatSequence = n.ChatSequence.load();
    c.running = n.ReceiverAlive.load();
    return c;
}

uint64_t LocalNodes::activity() const {
    uint64_t total = retired_;
    for (const auto& n : nodes_) {
        if (n) total += n->SentCount.load() + n->ReceivedCount.load();
    }
    return total;
}

bool LocalNodes::holds(std::size_t i, const std::string& originator, int32_t sequence) const {
    const Node& node = *nodes_[i];
    auto guard = node.lock();
    auto it = node.members().find(originator);
    return it != node.members().end() && it->second.lastSequence >= sequence;
}

std::size_t LocalNodes::memberCount(std::size_t i) const {
    const Node& node = *nodes_[i];
    auto guard = node.lock();
    return node.members().size();
}

std::string LocalNodes::table(std::size_t i) const { return nodes_[i]->statusReportText(); }

NodeSite LocalNodes::site(std::size_t /*i*/) const { return NodeSite{0, hostName()}; }

std::string hostName() {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return "";
    return name.data();
}

}  // namespace palaver::lab
