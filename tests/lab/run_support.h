// Helpers of the run suites: the palaver-lab program run as a child process,
// and readers for the files a run leaves (run.json, logs, status reports).
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "datagram.h"
#include "test_support.h"

extern char** environ;

namespace palaver::lab::test {

using palaver::test::readFile;
using palaver::test::TempDir;
namespace fs = std::filesystem;

// The quiet span of the runs whose checks need every join and every line
// through: long enough that a receive thread kept off the processor by a
// busy machine is not taken for the end of a flood.
inline constexpr const char* Quiet = "--quiet";
inline constexpr const char* QuietMs = "500";

// A palaver-lab process; its standard output and error go to files.
class LabProcess {
public:
    LabProcess(const std::vector<std::string>& args, const fs::path& logDir, const std::string& name)
        : out_(logDir / (name + ".out")), err_(logDir / (name + ".err")) {
        std::vector<std::string> all{PALAVER_LAB};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, PALAVER_LAB, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~LabProcess() { wait(); }
    LabProcess(const LabProcess&) = delete;
    LabProcess& operator=(const LabProcess&) = delete;

    // Exit status; -1 when it did not start or did not exit normally.
    int wait() {
        if (pid_ > 0) {
            int status = 0;
            if (waitpid(pid_, &status, 0) == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
        }
        return status_;
    }
    std::string out() const { return readFile(out_).value_or(""); }
    std::string err() const { return readFile(err_).value_or(""); }

private:
    fs::path out_;
    fs::path err_;
    pid_t pid_ = -1;
    int status_ = -1;
};

struct Finished {
    int status;
    std::string out;
    std::string err;
};

inline Finished runLab(const std::vector<std::string>& args, const TempDir& logDir, const std::string& name = "lab") {
    LabProcess lab(args, logDir.path(), name);
    int status = lab.wait();
    return {status, lab.out(), lab.err()};
}

inline nlohmann::json runRecord(const fs::path& dir) {
    return nlohmann::json::parse(readFile(dir / "run.json").value_or("null"));
}

// A status report read back: its address lines and its members.
struct Report {
    std::map<std::string, std::string> fields;  // "MY IP@PORT" -> "ip@port", ...
    std::map<std::string, int> members;         // address -> hops
    std::vector<std::string> kinds;             // first field of every line, in order
};

inline Report parseReport(const std::string& text) {
    Report r;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; std::getline(fields, cell, ',');) cells.push_back(cell);
        if (cells.empty()) continue;
        r.kinds.push_back(cells[0]);
        if (cells[0] == "Member" && cells.size() >= 3) {
            r.members[cells[1]] = std::stoi(cells[2]);
        } else if (cells.size() >= 2) {
            r.fields[cells[0]] = cells[1];
        }
    }
    return r;
}

inline Report readReport(const fs::path& path) { return parseReport(readFile(path).value_or("")); }

// Follows NEXT from `start` through `reports` (keyed by address); returns
// the addresses visited until the walk comes back or leaves the reports.
inline std::vector<std::string> ringFrom(const std::map<std::string, Report>& reports, const std::string& start) {
    std::vector<std::string> visited;
    std::string at = start;
    for (std::size_t step = 0; step <= reports.size(); ++step) {
        visited.push_back(at);
        auto it = reports.find(at);
        if (it == reports.end()) break;
        at = it->second.fields.at("NEXT IP@PORT");
        if (at == start) break;
    }
    return visited;
}

// A CSV file without quoting as rows of cells; the header row first.
inline std::vector<std::vector<std::string>> csvRows(const fs::path& path) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(readFile(path).value_or(""));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = line.find(',', start);
            cells.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        rows.push_back(cells);
    }
    return rows;
}

// (node, originator, sequence): a chat line a node accepted.
using Acceptance = std::tuple<std::string, std::string, int>;

// The chat lines each node's log shows it accepted: the member-table rule
// replayed over its received chat datagrams (a line is accepted when its
// originator is new to the node or its sequence is above the last one).
inline std::multiset<Acceptance> acceptedInLogs(const fs::path& folder, const std::vector<std::string>& nodes) {
    std::multiset<Acceptance> out;
    for (const std::string& node : nodes) {
        std::istringstream log(readFile(folder / (node + ".txt")).value_or(""));
        std::map<std::string, int> last;
        for (std::string line; std::getline(log, line);) {
            if (line.empty() || line[0] != 'S') continue;
            const DatagramFields f = parseDatagram(line, "");
            if (!hasUsableAddress(f)) continue;
            auto it = last.find(f.addressText);
            if (it != last.end() && f.sequence <= it->second) continue;
            last[f.addressText] = f.sequence;
            out.insert({node, f.addressText, f.sequence});
        }
    }
    return out;
}

// accepts.csv's acceptances of the nodes' first lives, and its header.
inline std::multiset<Acceptance> acceptsCsv(const fs::path& folder, std::vector<std::string>* header = nullptr) {
    std::multiset<Acceptance> out;
    const auto rows = csvRows(folder / "accepts.csv");
    if (rows.empty()) return out;
    if (header) *header = rows[0];
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto& r = rows[i];
        if (r.size() != 6 || r[1] != "1") {
            out.insert({"bad row " + std::to_string(i), "", 0});
            continue;
        }
        out.insert({r[0], r[2], std::stoi(r[3])});
    }
    return out;
}

// A loopback block of this test process: 127.<b>.x.y with b from the pid,
// away from the blocks of the node suites.
inline std::string loopbackBlock() { return "127." + std::to_string(20 + ::getpid() % 60); }

}  // namespace palaver::lab::test
