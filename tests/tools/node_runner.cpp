// A node in a process of its own, for tests that need to kill one:
//   palaver_node_runner <ip> <port> <directory>
// Starts the node with its datagram log in <directory>, prints "ready" and
// then runs until it is killed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "node.h"

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
    if (node.startNode(argv[1], palaver::readNumber(argv[2])) != 0) {
        std::fprintf(stderr, "could not start on %s@%s\n", argv[1], argv[2]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
}
