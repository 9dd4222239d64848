// The status report (closing and on-demand) and the file names of the log
// and the reports.
#include <cstdio>

#include "node.h"

namespace palaver {

namespace {

template <typename... Args>
void appendLine(std::string& out, const char* format, Args... args) {
    int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0) return;
    std::string line(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(line.data(), line.size(), format, args...);
    line.resize(static_cast<std::size_t>(n));
    out += line;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

std::string Node::statusReportText() {
    auto guard = lock();
    const PeerEntry& self = state_.self;
    const NeighbourTable& t = state_.table;
    std::string out;
    appendLine(out, "MY IP@PORT,%s@%d,\n", self.ip, self.port);
    appendLine(out, "NEXT IP@PORT,%s@%d,\n", t.next.ip, t.next.port);
    appendLine(out, "Back IP@PORT,%s@%d,\n", t.back.ip, t.back.port);
    appendLine(out, "Random[0] IP@PORT,%s@%d,\n", t.random[0].ip, t.random[0].port);
    appendLine(out, "Random[1] IP@PORT,%s@%d,\n", t.random[1].ip, t.random[1].port);
    appendLine(out, "Random[2] IP@PORT,%s@%d,\n", t.random[2].ip, t.random[2].port);
    appendLine(out, "latestTtl,%d,\n", t.latestTTL);

    // Signed 32-bit count and sum, as the report has always carried them;
    // the sum wraps rather than overflowing into undefined behaviour.
    int32_t count = 0;
    uint32_t sum = 0;
    for (const auto& member : members_) {
        ++count;
        sum += static_cast<uint32_t>(member.second.hops);
    }
    int32_t signedSum = static_cast<int32_t>(sum);
    int32_t divisor = count == 0 ? 1 : count;
    int32_t average = static_cast<int32_t>(static_cast<int64_t>(signedSum) / divisor);
    appendLine(out, "Member cnt,%d,\n", count);
    appendLine(out, "sum,%d,\n", signedSum);
    appendLine(out, "Hop AVG,%d,\n", average);
    for (const auto& [key, info] : members_) appendLine(out, "Member,%s,%d,\n", key.c_str(), info.hops);
    return out;
}

int Node::writeStatusReport(std::FILE* file) {
    if (!file) return 1;
    std::string text = statusReportText();
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
    return 0;
}

int Node::writePortReport() { return writeStatusReportFile(portReportPath()); }

int Node::writeStatusReportFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return 1;
    writeStatusReport(file);
    return std::fclose(file) == 0 ? 0 : 1;
}

std::string Node::ownFilePath(const char* prefix, const char* suffix, bool withIp) const {
    auto guard = lock();
    char name[80];
    if (withIp) {
        std::snprintf(name, sizeof name, "%s%s@%d%s", prefix, state_.self.ip, state_.self.port, suffix);
    } else {
        std::snprintf(name, sizeof name, "%s%d%s", prefix, state_.self.port, suffix);
    }
    return joinPath(fileDir_, name);
}

// "<ip>@<port>.txt", "status_<ip>@<port>.csv" and "<port>.csv".
std::string Node::datagramLogPath() const { return ownFilePath("", ".txt", true); }
std::string Node::closingReportPath() const { return ownFilePath("status_", ".csv", true); }
std::string Node::portReportPath() const { return ownFilePath("", ".csv", false); }

}  // namespace palaver
