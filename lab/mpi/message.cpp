#include "message.h"

#include <cstring>

namespace palaver::lab::mpi {

namespace {

template <typename T>
void put(std::vector<char>& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

template <typename T>
T take(const char* data, std::size_t& at) {
    T value;
    std::memcpy(&value, data + at, sizeof(T));
    at += sizeof(T);
    return value;
}

}  // namespace

std::vector<char> encode(const Message& m) {
    std::vector<char> out;
    std::size_t size = HeaderBytes;
    for (const std::string& t : m.texts) size += 4 + t.size();
    out.reserve(size);
    put(out, static_cast<int32_t>(m.op));
    put(out, m.node);
    for (int64_t v : m.values) put(out, v);
    put(out, static_cast<uint32_t>(m.texts.size()));
    for (const std::string& t : m.texts) {
        put(out, static_cast<uint32_t>(t.size()));
        out.insert(out.end(), t.begin(), t.end());
    }
    return out;
}

std::optional<Message> decode(const char* data, std::size_t size, std::string& error) {
    if (size < HeaderBytes) {
        error = "message of " + std::to_string(size) + " bytes is shorter than its header";
        return std::nullopt;
    }
    if (size > MaxMessageBytes) {
        error = "message of " + std::to_string(size) + " bytes is longer than the bound";
        return std::nullopt;
    }
    std::size_t at = 0;
    Message m;
    const auto op = take<int32_t>(data, at);
    if (op < static_cast<int32_t>(Op::Start) || op > static_cast<int32_t>(LastOp)) {
        error = "unknown operation " + std::to_string(op);
        return std::nullopt;
    }
    m.op = static_cast<Op>(op);
    m.node = take<int32_t>(data, at);
    if (m.node < 0) {
        error = "negative node index " + std::to_string(m.node);
        return std::nullopt;
    }
    for (int64_t& v : m.values) v = take<int64_t>(data, at);
    const auto count = take<uint32_t>(data, at);
    if (count > MaxTexts) {
        error = std::to_string(count) + " strings, more than " + std::to_string(MaxTexts);
        return std::nullopt;
    }
    for (uint32_t k = 0; k < count; ++k) {
        if (size - at < 4) {
            error = "string " + std::to_string(k) + " has no length (message cut short)";
            return std::nullopt;
        }
        const auto length = take<uint32_t>(data, at);
        if (length > size - at) {
            error = "string " + std::to_string(k) + " of " + std::to_string(length) + " bytes runs past the message";
            return std::nullopt;
        }
        m.texts.emplace_back(data + at, length);
        at += length;
    }
    if (at != size) {
        error = std::to_string(size - at) + " bytes after the last string";
        return std::nullopt;
    }
    return m;
}

namespace {
// ms, node, life, sequence, ttl, the originator's length.
constexpr std::size_t StampHeader = 8 + 8 + 4 + 4 + 4 + 4;
constexpr std::size_t MaxOriginator = 64;
}  // namespace

std::string encodeAccepts(const std::vector<AcceptStamp>& stamps, std::size_t from, std::size_t count) {
    std::vector<char> out;
    for (std::size_t k = from; k < stamps.size() && k - from < count; ++k) {
        const AcceptStamp& a = stamps[k];
        const std::string originator = a.originator.substr(0, MaxOriginator);
        put(out, a.ms);
        put(out, static_cast<uint64_t>(a.node));
        put(out, static_cast<int32_t>(a.life));
        put(out, a.sequence);
        put(out, a.ttl);
        put(out, static_cast<uint32_t>(originator.size()));
        out.insert(out.end(), originator.begin(), originator.end());
    }
    return std::string(out.begin(), out.end());
}

bool decodeAccepts(const std::string& text, std::vector<AcceptStamp>& out, std::string& error) {
    const char* data = text.data();
    std::size_t at = 0;
    while (at < text.size()) {
        if (text.size() - at < StampHeader) {
            error = "a stamp cut short at byte " + std::to_string(at);
            return false;
        }
        AcceptStamp a;
        a.ms = take<int64_t>(data, at);
        a.node = static_cast<std::size_t>(take<uint64_t>(data, at));
        a.life = take<int32_t>(data, at);
        a.sequence = take<int32_t>(data, at);
        a.ttl = take<int32_t>(data, at);
        const auto length = take<uint32_t>(data, at);
        if (length > MaxOriginator || length > text.size() - at) {
            error = "a stamp's originator of " + std::to_string(length) + " bytes at byte " + std::to_string(at) +
                    " is past its bound or the text";
            return false;
        }
        a.originator.assign(data + at, length);
        at += length;
        out.push_back(std::move(a));
    }
    return true;
}

}  // namespace palaver::lab::mpi
