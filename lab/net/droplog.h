// The kernel's own record of the datagrams the lab's rules dropped: each
// drop rule logs the datagram to an nflog group before it drops it (see
// rules.h), and a DropLog bound to that group reads them back, stamps each
// with the lab's clock and takes the payload apart with the node library's
// datagram parser.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace palaver::lab {

struct DropRecord {
    int64_t ms = 0;    // since the run began
    std::string rule;  // the rule's log prefix: loss, partition
    std::string sourceIp, destinationIp;
    int sourcePort = 0, destinationPort = 0;
    bool udp = false;  // an IPv4 UDP packet whose headers were whole
    char type = '\0';  // the datagram's type letter; '?' when it is no printable letter
    int32_t ttl = 0;
    std::string originator;           // chat and walk datagrams: the address they carry
    std::optional<int32_t> sequence;  // chat datagrams only
};

// Takes one logged IPv4 packet apart (IP header, UDP header, datagram).
// Every field is read inside `length`; a packet too short for its headers
// keeps udp false and its addresses as far as they were whole.
DropRecord parseDroppedPacket(const unsigned char* packet, std::size_t length, int64_t ms, const std::string& rule);

// The header of drops.csv and one row of it.
std::string dropsCsvHeader();
std::string dropsCsvRow(const DropRecord& r);

// The nflog group the lab's rules log to.
constexpr int DropLogGroup = 21;

class DropLog {
public:
    explicit DropLog(std::chrono::steady_clock::time_point start) : start_(start) {}
    ~DropLog();
    DropLog(const DropLog&) = delete;
    DropLog& operator=(const DropLog&) = delete;

    // Binds `group` in the calling thread's network namespace and starts the
    // thread that reads it. "" on success, else the reason.
    std::string open(int group);
    bool isOpen() const { return handle_ != nullptr; }
    // Ends the reading thread and takes in what is still queued. Call once
    // no more datagrams can be dropped.
    void close();

    // The records read so far, in the order the kernel logged them.
    std::vector<DropRecord> records() const;
    // Log messages the kernel could not queue because the socket's buffer
    // was full (each is a drop missing from records()).
    uint64_t overruns() const;

private:
    void readLoop();
    // Takes every message waiting on the socket; false on an error other
    // than "nothing waiting" or an overrun.
    bool drain();

    std::chrono::steady_clock::time_point start_;
    void* handle_ = nullptr;  // nflog_handle
    void* group_ = nullptr;   // nflog_g_handle
    void* sink_ = nullptr;    // what the message callback writes into
    int wake_[2] = {-1, -1};  // closes the reading thread's poll
    std::thread reader_;
    mutable std::mutex mutex_;  // guards records_ and overruns_
    std::vector<DropRecord> records_;
    uint64_t overruns_ = 0;
};

}  // namespace palaver::lab
