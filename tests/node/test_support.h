// Shared helpers of the node test suites: free loopback ports, waiting for a
// condition with a deadline, a plain UDP socket to talk to a node with, and a
// temporary directory per test for logs and reports.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace palaver::test {

inline constexpr const char* Loopback = "127.0.0.1";

// A UDP port on 127.0.0.1 that was free a moment ago: a probe socket binds
// port 0, reads the port the system chose and closes again.
inline int freeUdpPort() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) throw std::runtime_error("freeUdpPort: socket failed");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = 0;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        throw std::runtime_error("freeUdpPort: bind failed");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Polls `condition` every millisecond until it holds or `timeout` has passed.
// Returns whether it held.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

inline sockaddr_in loopbackAddress(int port, const char* ip = Loopback) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A datagram as a node or a test socket received it.
struct Received {
    std::string text;
    std::string ip;
    int port = 0;
};

// A UDP socket, by default bound to 127.0.0.1 on a port the system chooses.
class UdpSocket {
public:
    UdpSocket() : UdpSocket(Loopback, 0) {}
    // Bound to a given local address and port (0: the system chooses).
    UdpSocket(const char* ip, int port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd_ < 0) throw std::runtime_error("UdpSocket: socket failed");
        sockaddr_in a = loopbackAddress(port, ip);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            throw std::runtime_error("UdpSocket: bind failed");
        }
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int port() const { return port_; }
    int fd() const { return fd_; }

    // Sends the bytes of `text` (zero bytes included) to ip:port.
    bool sendTo(int port, std::string_view text, const char* ip = Loopback) const {
        sockaddr_in a = loopbackAddress(port, ip);
        ssize_t n = ::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        return n == static_cast<ssize_t>(text.size());
    }

    // Waits up to `timeout` for one datagram (up to 64 KiB).
    std::optional<Received> receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) const {
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
        tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string buf(65536, '\0');
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        char ip[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        return Received{std::move(buf), ip, ntohs(from.sin_port)};
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A fresh directory under the system temp folder, removed with its contents
// when the object goes.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "palaver-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("TempDir: mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Whole contents of a file in binary; no value when it cannot be opened.
inline std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace palaver::test
