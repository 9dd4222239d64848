// The messages between palaver-lab-mpi's rank 0 and the ranks that hold
// nodes: a fixed header (the operation, the node, six integers) and up to
// four strings, each with its length. Integers travel in the host's byte
// order: every rank of a job runs the same build on the same architecture.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/nodes.h"

namespace palaver::lab::mpi {

enum class Op : int32_t {
    Start = 1,
    Join,
    Type,
    LeaveRing,
    Crash,
    Stop,
    NudgeStop,
    Counters,
    Holds,
    MemberCount,
    Table,
    Reply,      // the answer to any of the above
    Error,      // the request could not be carried out; the reason is text 0
    File,       // a serving rank's file for the run folder: text 0 its staged path, text 1 a piece of it
                // starting at byte values[0]
    FilesDone,  // the last message of a rank's files: values[0] files sent, text 0 what went wrong, if anything
    Clock,      // the rank's steady clock now, in ns (values[0] of the reply)
    Zero,       // the run's zero on the rank's own clock, in ns (values[0]); before any node starts
    Accepts,    // the rank's acceptance stamps from index values[0]: the reply's values[0] is their total,
                // text 0 up to AcceptsPerReply of them (encodeAccepts)
    Rules,      // load the rules of text 0 (encodeRules) into the rank's network; the reply's text 0 is
                // "" or why not
    Drops,      // the drops of the rank's network from index values[0] (the first asks: no more will come):
                // the reply's values are their total, the counter (-1: unread), the overruns and 1 when
                // recorded; text 0 up to AcceptsPerReply of them (encodeDrops), text 1 why the counter
                // is unread, text 2 why they are not recorded
};

constexpr Op LastOp = Op::Drops;
constexpr std::size_t AcceptsPerReply = 100000;

struct Message {
    Op op = Op::Reply;
    int32_t node = 0;
    std::array<int64_t, 6> values{};
    std::vector<std::string> texts;
};

// Bounds every received message is checked against.
constexpr std::size_t MaxTexts = 4;
constexpr std::size_t MaxMessageBytes = std::size_t{64} << 20;
constexpr std::size_t HeaderBytes = 4 + 4 + 6 * 8 + 4;

std::vector<char> encode(const Message& message);

// The message in `size` bytes; no value, and the reason in `error`, when
// they are not one whole message within the bounds.
std::optional<Message> decode(const char* data, std::size_t size, std::string& error);

// Acceptance stamps [from, from + count) of `stamps` as the text of an
// Accepts reply (each field with its length, the originator as bytes).
std::string encodeAccepts(const std::vector<AcceptStamp>& stamps, std::size_t from, std::size_t count);

// Appends the stamps of an Accepts reply's text to `out`; false, and the
// reason in `error`, when the text is not whole stamps (what came before
// the fault is kept).
bool decodeAccepts(const std::string& text, std::vector<AcceptStamp>& out, std::string& error);

// Drop records [from, from + count) as the text of a Drops reply, and back
// (as decodeAccepts).
std::string encodeDrops(const std::vector<DropRecord>& records, std::size_t from, std::size_t count);
bool decodeDrops(const std::string& text, std::vector<DropRecord>& out, std::string& error);

// A rule set as the text of a Rules request, and back: no value, and the
// reason in `error`, when the text is not one, or a name in it is not one
// the rules may use (letters, digits and '_').
std::string encodeRules(const RuleSet& rules);
std::optional<RuleSet> decodeRules(const std::string& text, std::string& error);

}  // namespace palaver::lab::mpi
