// A node in a process of its own, for tests that need to kill one:
//   palaver_node_runner <ip> <port> <directory>
// Starts the node with its datagram log in <directory>, prints "ready <port>"
// and then runs until it is killed. Port 0 takes a free port of <ip>, and
// another one when a different process binds it first.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "node.h"

namespace {

// A port of `ip` that was free a moment ago; 0 when none could be found.
int freePort(const char* ip) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    int port = 0;
    socklen_t length = sizeof a;
    if (::inet_pton(AF_INET, ip, &a.sin_addr) == 1 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <ip> <port> <directory>\n", argv[0]);
        return 2;
    }
    static palaver::Node node;
    palaver::copyField(node.NodeName, "unknown");
    node.LogFlag = 1;
    node.setFileDirectory(argv[3]);
    node.initialise(static_cast<uint32_t>(std::time(nullptr)));
    const int32_t asked = palaver::readNumber(argv[2]);
    int32_t port = 0;
    bool started = false;
    for (int attempt = 0; attempt < (asked > 0 ? 1 : 20) && !started; ++attempt) {
        port = asked > 0 ? asked : freePort(argv[1]);
        started = port > 0 && node.startNode(argv[1], port) == 0;
    }
    if (!started) {
        std::fprintf(stderr, "could not start on %s@%s\n", argv[1], argv[2]);
        return 1;
    }
    std::printf("ready %d\n", port);
    std::fflush(stdout);
    for (;;) pause();
}
