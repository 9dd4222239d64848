// One overlay node: its record, its UDP endpoint, its receive thread with the
// protocol handlers (join and leave, random-peer walk, chat flooding), its
// member table and message history, and its log and reports.
//
// Threads: the thread that owns the Node (the main thread) and the node's one
// receive thread. Everything the two share that is not an atomic lives behind
// one mutex: each handler runs with it held, and the main thread takes it
// (through lock()) around every read or write of the record, the member table
// or the history. The mutex is never held while sleeping, receiving or
// sending: handlers collect their sends and send after releasing it.
//
// The node's own chat datagrams (the typed line and the greeting) are
// numbered and sent under a second, small lock of their own, so that they
// reach the node's socket in the order of their numbers. It is held only
// around taking the number and the one send, and never taken while the node
// lock is held.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "datagram.h"
#include "peer.h"

namespace palaver {

struct MemberInfo {
    int32_t lastSequence = 0;
    int32_t hops = 0;
};

// Keyed by the originator's address text; std::string orders by unsigned
// byte value, a prefix before every longer text that starts with it.
using MemberTable = std::map<std::string, MemberInfo>;
using MessageHistory = std::deque<std::string>;

constexpr std::size_t HistoryLimit = 20;
constexpr int32_t CriticalPeerId = 124;
// Placeholder ids that mark which step of a join or leave wrote an entry.
constexpr int32_t JoinedByNewcomerId = 12;
constexpr int32_t JoinedBySuccessorId = 123;
constexpr int32_t JoinedByContactId = 124;
constexpr int32_t RandomPeerId = 124;

// JoinState values.
constexpr int32_t JoinIdle = 0;
constexpr int32_t JoinedAsNewcomer = 1;
constexpr int32_t AcceptedNewcomer = 2;
constexpr int32_t DisconnectShown = 5;

// Socket library start-up and clean-up. POSIX sockets need neither; the calls
// are kept so that the program's start-up and shutdown order stays visible.
void startSocketLibrary();
void cleanupSocketLibrary();

// The host's first IPv4 address as a dotted quad; "error" when the host name
// cannot be read; no value when the name does not resolve.
std::optional<std::string> localHostAddress();

// Where a send went: used by tests and fuzzing to take sends off the wire.
using SendHook = std::function<void(const std::string& ip, int32_t port, std::string_view text)>;
// A chat line the node has just accepted: its originator as the datagram
// carries it, its sequence number and the TTL of the accepted copy. Called
// on the thread that handled the datagram, after the node lock is released
// and before the line is passed on.
using AcceptHook = std::function<void(std::string_view originator, int32_t sequence, int32_t ttl)>;

class Node {
public:
    Node();
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // --- configuration, before start -------------------------------------
    // Folder for the datagram log and the reports ("" = working directory).
    void setFileDirectory(std::string dir) { fileDir_ = std::move(dir); }
    // Replaces the socket send: every datagram goes to the hook instead.
    void setSendHook(SendHook hook) { sendHook_ = std::move(hook); }
    // Tells the hook of every chat line the node accepts (palaver sets none).
    void setAcceptHook(AcceptHook hook) { acceptHook_ = std::move(hook); }

    // --- node record -------------------------------------------------------
    void resetNode();
    void resetTable();
    int setSelf(int32_t id, std::string_view ip, int32_t port);
    int makeRingOfOne(const PeerEntry& entry);
    int addRandomPeer(int32_t id, std::string_view ip, int32_t port);
    // Identity from the main thread's generator.
    int32_t drawNodeId();
    void seedRand15(uint32_t seed) { mainRandom_.seed(seed); }
    int rand15() { return mainRandom_.next(); }
    // The receive thread's own generator (starts at 1, never seeded).
    Rand15& receiveRandom() { return receiveRandom_; }

    // The node's part of the shell's initialisation: generator seeded, phase 1,
    // ChatSequence 1, JoinState 0, KeepReceiving set, "start" in the history.
    void initialise(uint32_t seed);

    // Draws the identity, fills self, makes the ring of one, binds and starts
    // the receive thread. 0 started; 1 not in phase 1 or port <= 0; 2 or 3
    // from openEndpoint.
    int startNode(std::string_view ip, int32_t port);

    // --- UDP endpoint ------------------------------------------------------
    int openEndpoint(std::string_view ip, int32_t port);
    int closeEndpoint();
    // 1 when ip or text is missing; 3 when the address is not a dotted quad
    // or the socket rejects the send; else 0.
    int sendText(const char* ip, const char* text, int32_t port);
    int sendToNeighbours(const char* text);
    int sendToRandomNeighbour(const char* text);
    // Bound port of the socket (0 when not bound): lets tests bind port 0.
    int boundPort() const;

    // --- receive loop ------------------------------------------------------
    // Sends the stop datagram from the node's own socket to its own address.
    int sendStop();
    // One pass of the receive loop without the socket and the sleep: log
    // (when a log is open), parse and dispatch.
    void handleDatagram(std::string_view text, const sockaddr_in& source);
    // Blocks until the receive thread has ended, sending the stop datagram
    // the way the shutdown does. Used by the destructor and by tests.
    void stopReceiving();

    // --- join and leave ----------------------------------------------------
    void requestJoin(std::string_view ip, int32_t port);
    void leaveRing();

    // --- chat --------------------------------------------------------------
    // Sends the line to the node itself; returns the sequence number it took.
    int32_t sendOwnChat(std::string_view text);

    // --- reports -----------------------------------------------------------
    // Writes the status report into an open file (takes the node lock).
    int writeStatusReport(std::FILE* file);
    std::string statusReportText();
    // Writes "<port>.csv"; 0 written, 1 when the file could not be created.
    int writePortReport();
    // Writes the status report text into the file at `path` (created or
    // replaced); 0 written, 1 when the file could not be created.
    int writeStatusReportFile(const std::string& path);
    std::string datagramLogPath() const;
    std::string closingReportPath() const;
    std::string portReportPath() const;

    // --- crash and activity -------------------------------------------------
    // Ends the node the way a killed process ends: from the moment of the
    // call it neither takes in nor sends another datagram and tells nobody.
    // The receive thread is woken without a datagram and ends; the datagram
    // log keeps every line written so far but gets no "thread end", the
    // closing report file (opened when the thread started) stays empty, and
    // the socket is closed. Returns once the thread has ended.
    void crash();

    // --- shared state ------------------------------------------------------
    // Hold this lock around every read or write of state(), members() and
    // history() while the receive thread may run.
    [[nodiscard]] std::unique_lock<std::mutex> lock() const { return std::unique_lock<std::mutex>(mutex_); }
    NodeState& state() { return state_; }
    const NodeState& state() const { return state_; }
    const MemberTable& members() const { return members_; }
    MessageHistory& history() { return history_; }
    const MessageHistory& history() const { return history_; }

    std::atomic<int32_t> NodePhase{0};
    std::atomic<int32_t> ChatSequence{0};
    std::atomic<int32_t> JoinState{0};
    std::atomic<bool> ReceiverAlive{false};
    std::atomic<bool> KeepReceiving{false};
    // Set by crash(); every send is refused from then on.
    std::atomic<bool> Crashed{false};
    // Datagrams handed to the socket (or the send hook), and datagrams the
    // receive loop took from the socket: an overlay whose counts all stand
    // still is quiet.
    std::atomic<uint64_t> SentCount{0};
    std::atomic<uint64_t> ReceivedCount{0};
    // The kernel's id of the receive thread while it runs (0 before it has
    // started and once it has ended): where /proc keeps its own counters.
    int64_t receiverThreadId() const { return receiverTid_.load(); }
    // Set before start; read by the receive thread.
    int32_t LogFlag = 0;
    char NodeName[FieldSize] = {};

private:
    struct Send {
        std::string ip;
        int32_t port;
        std::string text;
        // The greeting: `text` is its chat text, numbered when it is sent.
        bool greeting = false;
    };
    using Outbox = std::vector<Send>;

    void receiveLoop();
    void process(std::string_view text, const sockaddr_in& source, std::FILE* log);
    // True when the datagram was a chat line the node accepted.
    bool dispatch(const DatagramFields& f, std::string& text, const sockaddr_in& source, Outbox& out);
    void flush(Outbox& out);
    // Every send, to the socket or the hook, passes here first: refused once
    // the node has crashed, else counted in SentCount.
    bool admitSend();
    // One datagram out of the node's socket: 0 sent, 3 rejected.
    int sendFromSocket(const sockaddr_in& to, std::string_view bytes);
    bool isOwnSocket(const sockaddr_in& source) const;
    // Takes the next ChatSequence number and sends the chat datagram to
    // ip:port as one step (under chatSendMutex_, without the node lock).
    int32_t sendChat(int32_t ttl, const std::string& ip, int32_t port, std::string_view text);
    // The node's own ip text and port, read under the lock.
    std::pair<std::string, int32_t> selfAddress() const;
    std::string ownFilePath(const char* prefix, const char* suffix, bool withIp) const;

    // Under the lock: queue sends to the neighbours / one random neighbour.
    void queueToNeighbours(const std::string& text, Outbox& out) const;
    void queueToRandomNeighbour(const std::string& text, Outbox& out);

    // Handlers, run with the lock held.
    void onJoinRequest(const DatagramFields& f, Outbox& out);
    void onJoinReferral(const DatagramFields& f, Outbox& out);
    void onSuccessorRequest(const DatagramFields& f, Outbox& out);
    void onSuccessorAccept(const DatagramFields& f, Outbox& out);
    void onPredecessorRequest(const DatagramFields& f, Outbox& out);
    void onPredecessorAccept(const DatagramFields& f, Outbox& out);
    void onNewBack(const DatagramFields& f);
    void onNewNext(const DatagramFields& f);
    void startWalk(Outbox& out);
    void onWalkStep(const DatagramFields& f, std::string& text, Outbox& out);
    void onWalkReply(const DatagramFields& f, Outbox& out);
    bool handleChat(const DatagramFields& f, std::string& text, Outbox& out);
    void updateCritical(const std::string& changedKey);

    mutable std::mutex mutex_;
    // Orders the node's own chat datagrams; see the note at the top.
    std::mutex chatSendMutex_;
    NodeState state_;
    MemberTable members_;
    MessageHistory history_;
    // Receive-thread values of the chat handler.
    int32_t maxHopsSeen_ = -1;
    std::string criticalKey_;
    bool criticalScanned_ = false;

    Rand15 mainRandom_;
    Rand15 receiveRandom_;
    std::string fileDir_;
    SendHook sendHook_;
    AcceptHook acceptHook_;
    std::thread receiver_;
    std::atomic<int64_t> receiverTid_{0};
};

}  // namespace palaver
