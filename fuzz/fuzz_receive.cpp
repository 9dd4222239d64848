// Feeds arbitrary datagrams from arbitrary sources through the receive path
// of a live node object: parse, dispatch and every handler. Sends go to a
// sink that checks each one instead of the network.
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "node.h"

namespace {

std::unique_ptr<palaver::Node> node;
int runs = 0;

void checkSend(const std::string& ip, int32_t, std::string_view text) {
    // Nothing is ever sent to an address that is not a dotted quad, and no
    // datagram is longer than what the receive loop accepts plus a header.
    if (!palaver::isDottedQuad(ip)) std::abort();
    if (text.size() > palaver::MaxReceive + 64) std::abort();
}

void freshNode() {
    node = std::make_unique<palaver::Node>();
    node->setSendHook(checkSend);
    node->initialise(1);
    auto guard = node->lock();
    node->setSelf(7, "127.0.0.1", 50000);
    node->makeRingOfOne(node->state().self);
}

void checkState() {
    auto guard = node->lock();
    const palaver::NodeState& s = node->state();
    const palaver::NeighbourTable& t = s.table;
    if (t.randomCount < 0 || t.randomCount > 3) std::abort();
    const palaver::PeerEntry* entries[] = {&t.next, &t.back, &t.random[0], &t.random[1], &t.random[2], &t.critical};
    for (const palaver::PeerEntry* e : entries) {
        // Every entry holds an address that can be sent to, or none at all.
        if (e->ip[palaver::FieldSize - 1] != '\0') std::abort();
        if (e->ip[0] != '\0' && !palaver::isDottedQuad(e->ip)) std::abort();
    }
    if (node->history().size() > node->members().size() + palaver::HistoryLimit + 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!node || ++runs % 2000 == 0) freshNode();
    fuzzinput::Input in = fuzzinput::split(data, size);
    node->handleDatagram(in.datagram, in.source);
    checkState();
    return 0;
}
