#include "net/droplog.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libnetfilter_log/libnetfilter_log.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "datagram.h"

namespace palaver::lab {

namespace {

constexpr std::size_t IpHeaderMin = 20;
constexpr std::size_t UdpHeader = 8;
constexpr unsigned char UdpProtocol = 17;
constexpr std::size_t PrefixLimit = 32;
// The socket's receive buffer: room for tens of thousands of logged drops
// while the reading thread is kept off the processor.
constexpr int ReceiveBuffer = 8 << 20;

std::string dottedQuad(const unsigned char* p) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, p, text, sizeof text);
    return text;
}

int port(const unsigned char* p) { return (p[0] << 8) | p[1]; }

// Received bytes as a CSV cell: printable characters only, never a comma
// or a quote.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        out += (u > 0x20 && u < 0x7f && c != ',' && c != '"') ? c : '?';
    }
    return out;
}

// "ip@port" for a UDP packet, the ip alone for any other.
std::string address(const std::string& ip, bool udp, int p) {
    if (ip.empty() || !udp) return ip;
    return ip + "@" + std::to_string(p);
}

}  // namespace

DropRecord parseDroppedPacket(const unsigned char* packet, std::size_t length, int64_t ms, const std::string& rule) {
    DropRecord r;
    r.ms = ms;
    r.rule = printable(rule.substr(0, PrefixLimit));
    if (packet == nullptr || length < IpHeaderMin || (packet[0] >> 4) != 4) return r;
    r.sourceIp = dottedQuad(packet + 12);
    r.destinationIp = dottedQuad(packet + 16);
    const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
    if (header < IpHeaderMin || packet[9] != UdpProtocol || length < header + UdpHeader) return r;
    r.udp = true;
    r.sourcePort = port(packet + header);
    r.destinationPort = port(packet + header + 2);
    std::string_view text(reinterpret_cast<const char*>(packet + header + UdpHeader),
                          std::min(length - header - UdpHeader, MaxReceive));
    const DatagramFields f = parseDatagram(text, "");
    if (f.type == '\0') return r;
    const auto type = static_cast<unsigned char>(f.type);
    r.type = type > 0x20 && type < 0x7f && f.type != ',' && f.type != '"' ? f.type : '?';
    r.ttl = f.ttl;
    if (f.type == 'S' || f.type == 'L') {
        r.originator = hasUsableAddress(f) ? formatAddress(f.ipText, f.port, false) : printable(f.addressText);
    }
    if (f.type == 'S') r.sequence = f.sequence;
    return r;
}

std::string dropsCsvHeader() { return "ms,rule,source,destination,type,ttl,originator,sequence\n"; }

std::string dropsCsvRow(const DropRecord& r) {
    std::string row = std::to_string(r.ms) + "," + r.rule + "," + address(r.sourceIp, r.udp, r.sourcePort) + "," +
                      address(r.destinationIp, r.udp, r.destinationPort) + ",";
    if (r.type != '\0')
        row += std::string(1, r.type) + "," + std::to_string(r.ttl);
    else
        row += ",";
    row += "," + r.originator + "," + (r.sequence ? std::to_string(*r.sequence) : "") + "\n";
    return row;
}

namespace {

struct Sink {
    std::chrono::steady_clock::time_point start;
    std::mutex* mutex;
    std::vector<DropRecord>* records;
};

int onLogged(nflog_g_handle*, nfgenmsg*, nflog_data* data, void* context) {
    const auto* sink = static_cast<const Sink*>(context);
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                             sink->start)
                           .count();
    char* payload = nullptr;
    const int length = nflog_get_payload(data, &payload);
    const char* prefix = nflog_get_prefix(data);
    const std::string rule = prefix ? std::string(prefix, strnlen(prefix, PrefixLimit)) : std::string();
    DropRecord r = parseDroppedPacket(reinterpret_cast<const unsigned char*>(payload),
                                      length > 0 && payload ? static_cast<std::size_t>(length) : 0, ms, rule);
    std::lock_guard<std::mutex> guard(*sink->mutex);
    sink->records->push_back(std::move(r));
    return 0;
}

}  // namespace

DropLog::~DropLog() { close(); }

std::string DropLog::open(int group) {
    if (handle_) return "";
    auto* h = nflog_open();
    if (!h) return std::string("nflog_open: ") + std::strerror(errno);
    // Older kernels need the family bound before a group; newer ones ignore it.
    nflog_unbind_pf(h, AF_INET);
    nflog_bind_pf(h, AF_INET);
    nflog_g_handle* g = nflog_bind_group(h, static_cast<uint16_t>(group));
    std::string reason;
    if (!g) {
        reason = "binding nflog group " + std::to_string(group) + ": " + std::strerror(errno);
    } else if (nflog_set_mode(g, NFULNL_COPY_PACKET, 0xffff) < 0) {
        reason = std::string("asking nflog for whole packets: ") + std::strerror(errno);
    } else if (nflog_set_qthresh(g, 1) < 0) {
        // One message per drop, at once: no batch waits for a timer.
        reason = std::string("setting the nflog queue threshold: ") + std::strerror(errno);
    } else if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        reason = std::string("pipe: ") + std::strerror(errno);
    }
    if (!reason.empty()) {
        if (g) nflog_unbind_group(g);
        nflog_close(h);
        return reason;
    }
    const int fd = nflog_fd(h);
    // Forced past the system's limit where the lab may; else up to it.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &ReceiveBuffer, sizeof ReceiveBuffer) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto* sink = new Sink{start_, &mutex_, &records_};
    nflog_callback_register(g, &onLogged, sink);
    sink_ = sink;
    handle_ = h;
    group_ = g;
    reader_ = std::thread([this] { readLoop(); });
    return "";
}

bool DropLog::drain() {
    auto* h = static_cast<nflog_handle*>(handle_);
    const int fd = nflog_fd(h);
    alignas(8) char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            nflog_handle_packet(h, buffer, static_cast<int>(n));
            continue;
        }
        if (n < 0 && errno == ENOBUFS) {
            std::lock_guard<std::mutex> guard(mutex_);
            ++overruns_;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void DropLog::readLoop() {
    const int fd = nflog_fd(static_cast<nflog_handle*>(handle_));
    for (;;) {
        pollfd waits[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waits[1].revents) return;
        if (waits[0].revents && !drain()) return;
    }
}

void DropLog::close() {
    if (!handle_) return;
    const char stop = 1;
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    reader_.join();
    drain();
    nflog_unbind_group(static_cast<nflog_g_handle*>(group_));
    nflog_close(static_cast<nflog_handle*>(handle_));
    delete static_cast<Sink*>(sink_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    handle_ = group_ = sink_ = nullptr;
    wake_[0] = wake_[1] = -1;
}

std::vector<DropRecord> DropLog::records() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
}

uint64_t DropLog::overruns() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return overruns_;
}

}  // namespace palaver::lab
