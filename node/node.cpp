// Node record, UDP endpoint and receive loop.
#include "node.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <system_error>

namespace palaver {

void startSocketLibrary() {}
void cleanupSocketLibrary() {}

std::optional<std::string> localHostAddress() {
    char name[256] = {};
    if (gethostname(name, 255) != 0) return std::string("error");
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return std::nullopt;
    std::optional<std::string> result;
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr) {
            char text[INET_ADDRSTRLEN] = {};
            const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) result = std::string(text);
            break;
        }
    }
    freeaddrinfo(list);
    return result;
}

namespace {

// Fills an IPv4 socket address; false when the text is not a dotted quad.
bool makeAddress(std::string_view ip, int32_t port, sockaddr_in& out) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    if (!isDottedQuad(ip)) return false;
    char buf[16];
    copyField(buf, ip);
    return inet_pton(AF_INET, buf, &out.sin_addr) == 1;
}

std::string addressText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

}  // namespace

Node::Node() { resetNode(); }

Node::~Node() {
    stopReceiving();
    if (state_.udpSocket >= 0) closeEndpoint();
}

void Node::resetNode() {
    state_.self = PeerEntry{};
    resetTable();
}

void Node::resetTable() { state_.table = NeighbourTable{}; }

int Node::setSelf(int32_t id, std::string_view ip, int32_t port) {
    state_.self.assign(id, ip, port);
    return 0;
}

int Node::makeRingOfOne(const PeerEntry& entry) {
    PeerEntry copy = entry;  // entry may be self, which is not written here
    state_.table.next.assign(copy.id, copy.ip, copy.port);
    state_.table.back.assign(copy.id, copy.ip, copy.port);
    state_.table.critical.assign(copy.id, copy.ip, copy.port);
    return 0;
}

int Node::addRandomPeer(int32_t id, std::string_view ip, int32_t port) {
    NeighbourTable& t = state_.table;
    if (t.randomCount >= 3 || t.randomCount < 0) return 1;
    t.random[t.randomCount].assign(id, ip, port);
    ++t.randomCount;
    return 0;
}

int32_t Node::drawNodeId() { return nodeIdFromDraw(mainRandom_.next()); }

void Node::initialise(uint32_t seed) {
    seedRand15(seed);
    KeepReceiving = true;
    NodePhase = 1;
    ChatSequence = 1;
    JoinState = JoinIdle;
    auto guard = lock();
    history_.push_back("start");
}

int Node::startNode(std::string_view ip, int32_t port) {
    if (NodePhase.load() != 1 || port <= 0) return 1;
    int result;
    {
        auto guard = lock();
        int32_t id = drawNodeId();
        setSelf(id, ip, port);
        copyField(state_.self.name, NodeName);
        makeRingOfOne(state_.self);
        result = openEndpoint(state_.self.ip, state_.self.port);
    }
    if (result != 0) {
        startSocketLibrary();
        return result;
    }
    // Raised before the thread exists: a stop requested right after the start
    // must not take the thread for one that has already ended.
    ReceiverAlive = true;
    try {
        receiver_ = std::thread([this] { receiveLoop(); });
    } catch (const std::system_error&) {
        ReceiverAlive = false;  // the node runs without receiving
    }
    NodePhase = 2;
    return 0;
}

// ---------------------------------------------------------------------------
// UDP endpoint

int Node::openEndpoint(std::string_view ip, int32_t port) {
    bool converted = makeAddress(ip, port, state_.sendAddress);
    state_.udpSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (state_.udpSocket < 0) {
        cleanupSocketLibrary();
        return 2;
    }
    if (!converted ||
        bind(state_.udpSocket, reinterpret_cast<const sockaddr*>(&state_.sendAddress), sizeof(sockaddr_in)) != 0) {
        ::close(state_.udpSocket);
        state_.udpSocket = -1;
        cleanupSocketLibrary();
        return 3;
    }
    return 0;
}

int Node::closeEndpoint() {
    if (state_.udpSocket >= 0) ::close(state_.udpSocket);
    state_.udpSocket = -1;
    return 0;
}

int Node::boundPort() const {
    if (state_.udpSocket < 0) return 0;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(state_.udpSocket, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

int Node::sendText(const char* ip, const char* text, int32_t port) {
    if (ip == nullptr || text == nullptr) return 1;
    // The destination lives on this call's stack: sends of the two threads
    // never share it.
    sockaddr_in to{};
    if (!makeAddress(ip, port, to)) return 3;
    const std::string_view bytes(text, std::strlen(text));
    if (sendHook_) {
        if (!admitSend()) return 3;
        sendHook_(ip, port, bytes);
        return 0;
    }
    return sendFromSocket(to, bytes);
}

bool Node::admitSend() {
    if (Crashed.load()) return false;
    SentCount.fetch_add(1);
    return true;
}

int Node::sendFromSocket(const sockaddr_in& to, std::string_view bytes) {
    if (!admitSend()) return 3;
    ssize_t n = ::sendto(state_.udpSocket, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to);
    return n < 0 ? 3 : 0;
}

void Node::queueToNeighbours(const std::string& text, Outbox& out) const {
    const NeighbourTable& t = state_.table;
    out.push_back({t.next.ip, t.next.port, text});
    out.push_back({t.back.ip, t.back.port, text});
    for (int i = 0; i < t.randomCount && i < 3; ++i) out.push_back({t.random[i].ip, t.random[i].port, text});
}

void Node::queueToRandomNeighbour(const std::string& text, Outbox& out) {
    const NeighbourTable& t = state_.table;
    int k = t.randomCount + 2;
    int i = scaledIndex(receiveRandom_.next(), k);
    const PeerEntry* pick = nullptr;
    if (i == 0) {
        pick = &t.next;
    } else if (i == 1) {
        pick = &t.back;
    } else if (i >= 2 && i <= 4) {
        pick = &t.random[i - 2];
    }
    if (pick) out.push_back({pick->ip, pick->port, text});
}

int Node::sendToNeighbours(const char* text) {
    if (!text) return 0;
    Outbox out;
    {
        auto guard = lock();
        queueToNeighbours(text, out);
    }
    flush(out);
    return 0;
}

int Node::sendToRandomNeighbour(const char* text) {
    if (!text) return 0;
    Outbox out;
    {
        auto guard = lock();
        queueToRandomNeighbour(text, out);
    }
    flush(out);
    return 0;
}

void Node::flush(Outbox& out) {
    for (const Send& s : out) {
        if (s.greeting) {
            sendChat(1, s.ip, s.port, s.text);
        } else {
            sendText(s.ip.c_str(), s.text.c_str(), s.port);
        }
    }
    out.clear();
}

// ---------------------------------------------------------------------------
// Receive loop

std::pair<std::string, int32_t> Node::selfAddress() const {
    auto guard = lock();
    return {state_.self.ip, state_.self.port};
}

int Node::sendStop() {
    const auto [ip, port] = selfAddress();
    // Always from the socket itself, also when a send hook takes the other
    // sends: only a stop from the node's own socket ends its receive thread.
    sockaddr_in to{};
    if (!makeAddress(ip, port, to)) return 3;
    return sendFromSocket(to, composeStop());
}

void Node::stopReceiving() {
    if (!receiver_.joinable()) return;
    while (ReceiverAlive.load()) {
        sendStop();
        KeepReceiving = false;
        for (int i = 0; i < 100 && ReceiverAlive.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    receiver_.join();
}

bool Node::isOwnSocket(const sockaddr_in& source) const {
    const sockaddr_in& own = state_.sendAddress;
    if (source.sin_family != AF_INET || source.sin_port != own.sin_port) return false;
    if (own.sin_addr.s_addr == htonl(INADDR_ANY)) {
        return (ntohl(source.sin_addr.s_addr) >> 24) == 127;
    }
    return source.sin_addr.s_addr == own.sin_addr.s_addr;
}

void Node::receiveLoop() {
    receiverTid_ = static_cast<int64_t>(::gettid());
    ReceiverAlive = true;
    // Keep the 1 ms pause close to 1 ms: the default timer slack would add
    // about 50 µs to every pass.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    maxHopsSeen_ = -1;
    criticalKey_.clear();
    criticalScanned_ = false;

    std::FILE* log = nullptr;
    std::FILE* report = nullptr;
    if (LogFlag == 1) {
        log = std::fopen(datagramLogPath().c_str(), "w");
        if (!log) KeepReceiving = false;
        report = std::fopen(closingReportPath().c_str(), "w");
    }

    char buffer[MaxReceive + 1];
    while (KeepReceiving.load()) {
        sockaddr_in source{};
        socklen_t length = sizeof source;
        // MSG_TRUNC makes the call report the datagram's real length, so a
        // datagram longer than the buffer is seen and treated as a failure.
        ssize_t n = ::recvfrom(state_.udpSocket, buffer, MaxReceive, MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&source), &length);
        // A crash wakes the receive with its read shutdown: nothing more is
        // logged or handled.
        if (Crashed.load()) break;
        ReceivedCount.fetch_add(1);
        std::string_view text;
        if (n < 0 || static_cast<std::size_t>(n) > MaxReceive) {
            text = "error";
            source = sockaddr_in{};
        } else {
            text = std::string_view(buffer, static_cast<std::size_t>(n));
        }
        process(text, source, log);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // A crashed node ends like a killed process: the log without its last
    // line and the closing report empty.
    const bool crashed = Crashed.load();
    if (log) {
        if (!crashed) std::fputs("thread end", log);
        std::fclose(log);
    }
    if (report) {
        if (!crashed) writeStatusReport(report);
        std::fclose(report);
    }
    receiverTid_ = 0;
    ReceiverAlive = false;
}

void Node::crash() {
    Crashed = true;
    KeepReceiving = false;
    if (receiver_.joinable()) {
        // A read shutdown ends a receive that is blocked on the UDP socket at
        // once and makes every later one return at once, without a datagram.
        ::shutdown(state_.udpSocket, SHUT_RD);
        receiver_.join();
    }
    closeEndpoint();
}

void Node::handleDatagram(std::string_view text, const sockaddr_in& source) { process(text, source, nullptr); }

void Node::process(std::string_view text, const sockaddr_in& source, std::FILE* log) {
    text = text.substr(0, text.find('\0'));
    if (log) {
        // Written as data and flushed at once: a killed node keeps every line.
        std::fwrite(text.data(), 1, text.size(), log);
        std::fputc('\n', log);
        std::fflush(log);
    }
    DatagramFields fields = parseDatagram(text, addressText(source));
    std::string datagram(text);
    Outbox out;
    bool accepted = false;
    {
        auto guard = lock();
        accepted = dispatch(fields, datagram, source, out);
    }
    if (accepted && acceptHook_) acceptHook_(fields.addressText, fields.sequence, fields.ttl);
    flush(out);
}

bool Node::dispatch(const DatagramFields& f, std::string& text, const sockaddr_in& source, Outbox& out) {
    if (f.type == '!') {
        // Only the node's own shutdown may stop it: a stop datagram from any
        // other socket is logged and ignored.
        if (isOwnSocket(source)) KeepReceiving = false;
        return false;
    }
    static constexpr std::string_view handled = "NnXxBbDdLlS";
    if (f.type == '\0' || handled.find(f.type) == std::string_view::npos) return false;
    // Every handler stores or answers the carried address: one that could
    // never be sent to is refused here.
    if (!hasUsableAddress(f)) return false;
    switch (f.type) {
    case 'N': onJoinRequest(f, out); break;
    case 'n': onJoinReferral(f, out); break;
    case 'X': onSuccessorRequest(f, out); break;
    case 'x': onSuccessorAccept(f, out); break;
    case 'B': onPredecessorRequest(f, out); break;
    case 'b': onPredecessorAccept(f, out); break;
    case 'D': onNewBack(f); break;
    case 'd': onNewNext(f); break;
    case 'L': onWalkStep(f, text, out); break;
    case 'l': onWalkReply(f, out); break;
    case 'S': return handleChat(f, text, out);
    default: break;
    }
    return false;
}

}  // namespace palaver
