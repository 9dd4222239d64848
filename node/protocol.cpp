// The protocol handlers: ring join and leave, the random-peer walk and chat
// flooding. Each handler runs on the receive thread with the node lock held
// and queues its sends; the receive loop sends them once the lock is free.
#include <algorithm>

#include "node.h"

namespace palaver {

// ---------------------------------------------------------------------------
// Join and leave (main thread)

void Node::requestJoin(std::string_view ip, int32_t port) {
    // back takes what was typed in every case (the text cut to the entry's
    // 19 characters), so the status screen shows the contact the user gave.
    // The join request goes out only to a contact that can be sent to: a
    // strict dotted quad and a port above 0.
    std::string request;
    {
        auto guard = lock();
        request = composeJoinRequest(state_.self.ip, state_.self.port);
        state_.table.back.assign(JoinedByNewcomerId, ip, port);
    }
    if (port <= 0 || !isDottedQuad(ip)) return;
    std::string target(ip);
    sendText(target.c_str(), request.c_str(), port);
}

void Node::leaveRing() {
    JoinState = JoinIdle;
    Outbox out;
    {
        auto guard = lock();
        const NeighbourTable& t = state_.table;
        out.push_back({t.next.ip, t.next.port, composeNotice('D', t.back.ip, t.back.port)});
        out.push_back({t.back.ip, t.back.port, composeNotice('d', t.next.ip, t.next.port)});
    }
    flush(out);
}

// ---------------------------------------------------------------------------
// Join and leave handlers

void Node::onJoinRequest(const DatagramFields& f, Outbox& out) {
    // The one reply that goes to the UDP source: a newcomer may not know the
    // address at which the contact sees it.
    const PeerEntry& next = state_.table.next;
    out.push_back({f.sourceIp, f.port, composeAddressed('n', next.ip, next.port)});
}

void Node::onJoinReferral(const DatagramFields& f, Outbox& out) {
    out.push_back({f.ipText, f.port, composeAddressed('X', state_.self.ip, state_.self.port)});
}

void Node::onSuccessorRequest(const DatagramFields& f, Outbox& out) {
    state_.table.back.assign(JoinedBySuccessorId, f.ipText, f.port);
    out.push_back({f.ipText, f.port, composeAddressed('x', state_.self.ip, state_.self.port)});
}

void Node::onSuccessorAccept(const DatagramFields& f, Outbox& out) {
    state_.table.next.assign(JoinedByNewcomerId, f.ipText, f.port);
    const PeerEntry& back = state_.table.back;
    out.push_back({back.ip, back.port, composeAddressed('B', state_.self.ip, state_.self.port)});
}

void Node::onPredecessorRequest(const DatagramFields& f, Outbox& out) {
    state_.table.next.assign(JoinedByContactId, f.ipText, f.port);
    const PeerEntry& critical = state_.table.critical;
    out.push_back({f.ipText, f.port, composeAddressed('b', critical.ip, critical.port)});
    state_.table.latestTTL = 1;
    int32_t expected = JoinState.load();
    while (expected != DisconnectShown && !JoinState.compare_exchange_weak(expected, AcceptedNewcomer)) {
    }
}

void Node::onPredecessorAccept(const DatagramFields&, Outbox& out) {
    JoinState = JoinedAsNewcomer;
    startWalk(out);
}

void Node::onNewBack(const DatagramFields& f) { state_.table.back.assign(JoinedByContactId, f.ipText, f.port); }

void Node::onNewNext(const DatagramFields& f) { state_.table.next.assign(JoinedByContactId, f.ipText, f.port); }

// ---------------------------------------------------------------------------
// Random-peer walk

void Node::startWalk(Outbox& out) {
    const PeerEntry& back = state_.table.back;
    out.push_back({back.ip, back.port, composeWalk(state_.self.ip, state_.self.port)});
}

void Node::onWalkStep(const DatagramFields& f, std::string& text, Outbox& out) {
    if (f.ttl >= 2) {
        rewriteHeader(text, walkForwardHeader(f.ttl - 1));
        queueToRandomNeighbour(text, out);
        return;
    }
    if (addRandomPeer(RandomPeerId, f.ipText, f.port) == 1) {
        // Full: the walk goes on, unchanged, to a random neighbour.
        queueToRandomNeighbour(text, out);
        return;
    }
    out.push_back({f.ipText, f.port, composeWalkReply(state_.self.ip, state_.self.port)});
}

void Node::onWalkReply(const DatagramFields& f, Outbox& out) {
    addRandomPeer(RandomPeerId, f.ipText, f.port);
    // The greeting takes its ChatSequence number when it is sent, not here:
    // see sendChat.
    out.push_back({state_.self.ip, state_.self.port, "Hello", true});
}

// ---------------------------------------------------------------------------
// Chat

int32_t Node::sendOwnChat(std::string_view text) {
    const auto [ip, port] = selfAddress();
    return sendChat(0, ip, port, text);
}

int32_t Node::sendChat(int32_t ttl, const std::string& ip, int32_t port, std::string_view text) {
    // Taking the number and sending the datagram are one step for the typed
    // line (main thread) and the greeting (receive thread): otherwise a
    // higher number could reach the node's own socket first, and its receive
    // thread would then drop the lower one as older, everywhere.
    std::lock_guard<std::mutex> order(chatSendMutex_);
    int32_t sequence = ChatSequence.fetch_add(1);
    std::string datagram = composeChat(ttl, ip, port, sequence, text);
    sendText(ip.c_str(), datagram.c_str(), port);
    return sequence;
}

bool Node::handleChat(const DatagramFields& f, std::string& text, Outbox& out) {
    const std::string& key = f.addressText;
    auto it = members_.find(key);
    bool accepted = false;
    if (it == members_.end()) {
        members_.emplace(key, MemberInfo{f.sequence, f.ttl});
        history_.push_back(text);
        accepted = true;
    } else if (f.sequence > it->second.lastSequence) {
        it->second = MemberInfo{f.sequence, f.ttl};
        history_.push_back(text);
        if (history_.size() > HistoryLimit) history_.pop_front();
        accepted = true;
    }
    if (accepted) {
        rewriteHeader(text, chatForwardHeader(f.ttl + 1));
        queueToNeighbours(text, out);
    }
    updateCritical(key);

    state_.table.latestTTL = maxHopsSeen_;
    if (!criticalKey_.empty()) {
        std::string ip;
        int32_t port = 0;
        splitAddress(criticalKey_, ip, port);
        state_.table.critical.assign(CriticalPeerId, ip, port);
    }
    return accepted;
}

// The critical member: the first member in key order whose hop count is
// strictly greater than every hop count seen before. maxHopsSeen_ never
// falls, so after one full scan every member's hops are at most
// maxHopsSeen_, and a later scan can only find the one member that the
// datagram in hand changed. The full scan therefore runs once; afterwards
// the changed member alone is looked at, with the same result.
void Node::updateCritical(const std::string& changedKey) {
    if (!criticalScanned_) {
        for (const auto& [key, info] : members_) {
            if (info.hops > maxHopsSeen_) {
                maxHopsSeen_ = info.hops;
                criticalKey_ = key;
            }
        }
        criticalScanned_ = true;
        return;
    }
    auto it = members_.find(changedKey);
    if (it != members_.end() && it->second.hops > maxHopsSeen_) {
        maxHopsSeen_ = it->second.hops;
        criticalKey_ = it->first;
    }
}

}  // namespace palaver
