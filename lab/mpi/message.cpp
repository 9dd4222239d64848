#include "mpi/message.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <nlohmann/json.hpp>

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

namespace {

void putText(std::vector<char>& out, const std::string& text) {
    const std::string bounded = text.substr(0, MaxOriginator);
    put(out, static_cast<uint32_t>(bounded.size()));
    out.insert(out.end(), bounded.begin(), bounded.end());
}

bool takeText(const std::string& text, std::size_t& at, std::string& out, std::string& error) {
    if (text.size() - at < 4) {
        error = "a record cut short at byte " + std::to_string(at);
        return false;
    }
    const auto length = take<uint32_t>(text.data(), at);
    if (length > MaxOriginator || length > text.size() - at) {
        error = "a record's text of " + std::to_string(length) + " bytes at byte " + std::to_string(at) +
                " is past its bound or the text";
        return false;
    }
    out.assign(text.data() + at, length);
    at += length;
    return true;
}

// ms, the ports, ttl, sequence, udp, type, has a sequence.
constexpr std::size_t DropFixed = 8 + 4 + 4 + 4 + 4 + 1 + 1 + 1;

bool nameOk(const std::string& name) {
    return !name.empty() && name.size() <= 32 &&
           std::all_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

}  // namespace

std::string encodeDrops(const std::vector<DropRecord>& records, std::size_t from, std::size_t count) {
    std::vector<char> out;
    for (std::size_t k = from; k < records.size() && k - from < count; ++k) {
        const DropRecord& r = records[k];
        put(out, r.ms);
        put(out, static_cast<int32_t>(r.sourcePort));
        put(out, static_cast<int32_t>(r.destinationPort));
        put(out, r.ttl);
        put(out, r.sequence.value_or(0));
        put(out, static_cast<uint8_t>(r.udp ? 1 : 0));
        put(out, r.type);
        put(out, static_cast<uint8_t>(r.sequence ? 1 : 0));
        putText(out, r.rule);
        putText(out, r.sourceIp);
        putText(out, r.destinationIp);
        putText(out, r.originator);
    }
    return std::string(out.begin(), out.end());
}

bool decodeDrops(const std::string& text, std::vector<DropRecord>& out, std::string& error) {
    std::size_t at = 0;
    while (at < text.size()) {
        if (text.size() - at < DropFixed) {
            error = "a record cut short at byte " + std::to_string(at);
            return false;
        }
        DropRecord r;
        r.ms = take<int64_t>(text.data(), at);
        r.sourcePort = take<int32_t>(text.data(), at);
        r.destinationPort = take<int32_t>(text.data(), at);
        r.ttl = take<int32_t>(text.data(), at);
        const auto sequence = take<int32_t>(text.data(), at);
        r.udp = take<uint8_t>(text.data(), at) != 0;
        r.type = take<char>(text.data(), at);
        if (take<uint8_t>(text.data(), at) != 0) r.sequence = sequence;
        if (!takeText(text, at, r.rule, error) || !takeText(text, at, r.sourceIp, error) ||
            !takeText(text, at, r.destinationIp, error) || !takeText(text, at, r.originator, error)) {
            return false;
        }
        out.push_back(std::move(r));
    }
    return true;
}

std::string encodeRules(const RuleSet& rules) {
    nlohmann::json j{{"by_port", rules.byPort}, {"own", rules.own}, {"log_group", rules.logGroup}};
    j["sets"] = nlohmann::json::array();
    for (const AddressSet& a : rules.sets) j["sets"].push_back({{"name", a.name}, {"ips", a.ips}});
    j["drops"] = nlohmann::json::array();
    for (const DropRule& d : rules.drops) {
        j["drops"].push_back({{"from", d.from}, {"to", d.to}, {"share", d.share}, {"tag", d.tag}, {"types", d.types}});
    }
    return j.dump();
}

std::optional<RuleSet> decodeRules(const std::string& text, std::string& error) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    RuleSet rules;
    try {
        if (!j.is_object()) throw std::runtime_error("not a JSON object");
        rules.byPort = j.at("by_port").get<bool>();
        rules.own = j.at("own").get<std::vector<std::string>>();
        rules.logGroup = j.at("log_group").get<int>();
        for (const auto& a : j.at("sets")) {
            rules.sets.push_back(AddressSet{a.at("name").get<std::string>(), a.at("ips").get<std::vector<std::string>>()});
        }
        for (const auto& d : j.at("drops")) {
            rules.drops.push_back(DropRule{d.at("from").get<std::string>(), d.at("to").get<std::string>(),
                                           d.at("share").get<int>(), d.at("tag").get<std::string>(),
                                           d.at("types").get<std::string>()});
        }
    } catch (const std::exception& e) {
        error = std::string("the rules are not whole: ") + e.what();
        return std::nullopt;
    }
    // The texts go into an nft script: names as the rules make them, and
    // addresses of digits, dots and blanks only.
    const auto addressOk = [](const std::string& a) {
        return !a.empty() && a.size() <= 32 &&
               std::all_of(a.begin(), a.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == ' '; });
    };
    for (const AddressSet& a : rules.sets) {
        if (!nameOk(a.name) || !std::all_of(a.ips.begin(), a.ips.end(), addressOk)) {
            error = "the rules' set '" + a.name.substr(0, 32) + "' has a name or an address the rules may not use";
            return std::nullopt;
        }
    }
    if (!std::all_of(rules.own.begin(), rules.own.end(), addressOk)) {
        error = "the rules' own addresses hold one the rules may not use";
        return std::nullopt;
    }
    for (const DropRule& d : rules.drops) {
        const bool types = std::all_of(d.types.begin(), d.types.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
        if ((!d.from.empty() && !nameOk(d.from)) || (!d.to.empty() && !nameOk(d.to)) || !nameOk(d.tag) || !types ||
            d.share < 0 || d.share > 10000) {
            error = "a drop rule has a name, a share or a type the rules may not use";
            return std::nullopt;
        }
    }
    if (rules.logGroup < 0 || rules.logGroup > 65535) {
        error = "the rules' log group is out of range";
        return std::nullopt;
    }
    return rules;
}

}  // namespace palaver::lab::mpi
