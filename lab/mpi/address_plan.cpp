#include "mpi/address_plan.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace palaver::lab::mpi {

std::string choosePlan(const std::string& given, bool bindGiven, const std::vector<std::string>& hosts) {
    if (!given.empty()) return given;
    if (bindGiven) return "host";
    const bool oneHost = std::all_of(hosts.begin(), hosts.end(), [&](const std::string& h) { return h == hosts[0]; });
    return oneHost ? "loopback" : "host";
}

std::string hostToward(int rank, const std::vector<std::string>& hosts) {
    if (hosts.empty() || rank < 0 || static_cast<std::size_t>(rank) >= hosts.size()) return "";
    const std::string& mine = hosts[static_cast<std::size_t>(rank)];
    if (mine != hosts[0]) return hosts[0];
    for (const std::string& h : hosts) {
        if (h != hosts[0]) return h;
    }
    return "";
}

std::string addressToward(const std::string& host, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(host.c_str(), "9", &hints, &found);
    if (lookup != 0 || found == nullptr) {
        error = "host " + host + " has no IPv4 address: " + ::gai_strerror(lookup);
        return "";
    }
    std::string address;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (fd < 0) {
        error = std::string("no socket for the route lookup: ") + std::strerror(errno);
    } else if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        error = "no route to host " + host + ": " + std::strerror(errno);
    } else if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = std::string("the route's source address cannot be read: ") + std::strerror(errno);
    } else {
        std::array<char, INET_ADDRSTRLEN> text{};
        if (::inet_ntop(AF_INET, &local.sin_addr, text.data(), text.size()) != nullptr) address = text.data();
    }
    if (fd >= 0) ::close(fd);
    ::freeaddrinfo(found);
    return address;
}

}  // namespace palaver::lab::mpi
