// Helpers of the analyzer suites: hand-made node files, a CSV reader and a
// way to run the palaver-lab program and catch what it prints.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../node/test_support.h"

namespace palaver::labtest {

namespace fs = std::filesystem;

inline void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string ticks(std::string s, std::size_t n) {
    if (s.size() < n) s.append(n - s.size(), '`');
    return s;
}

// A chat datagram as it arrives, written out field by field.
inline std::string chat(int ttl, const std::string& originator, int sequence, const std::string& text) {
    return "S00`" + ticks(std::to_string(ttl), 3) + "`" + ticks(originator, 21) + "`" +
           ticks(std::to_string(sequence), 9) + "`" + text + "`";
}

// A datagram log: one received datagram a line, closed by "thread end".
inline std::string log(const std::vector<std::string>& datagrams, bool closed = true) {
    std::string text;
    for (const std::string& d : datagrams) text += d + "\n";
    return closed ? text + "thread end" : text;
}

// A status report in the node's layout; empty random entries print "@0".
inline std::string report(const std::string& self, const std::string& next, const std::string& back,
                          std::vector<std::string> random = {}, int latestTtl = 0, int members = 0) {
    random.resize(3, "@0");
    std::string r = "MY IP@PORT," + self + ",\nNEXT IP@PORT," + next + ",\nBack IP@PORT," + back + ",\n";
    for (int i = 0; i < 3; ++i) r += "Random[" + std::to_string(i) + "] IP@PORT," + random[i] + ",\n";
    r += "latestTtl," + std::to_string(latestTtl) + ",\nMember cnt," + std::to_string(members) + ",\nsum,0,\nHop AVG,0,\n";
    return r;
}

// Rows of a CSV file as column name -> cell (quoted cells understood).
using Row = std::map<std::string, std::string>;
inline std::vector<Row> readCsv(const fs::path& path, std::vector<std::string>* header = nullptr) {
    std::ifstream in(path);
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    char c;
    bool any = false;
    while (in.get(c)) {
        any = true;
        if (quoted) {
            if (c == '"') {
                if (in.peek() == '"') {
                    field += '"';
                    in.get(c);
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(field);
            field.clear();
        } else if (c == '\n') {
            fields.push_back(field);
            field.clear();
            records.push_back(fields);
            fields.clear();
        } else {
            field += c;
        }
    }
    if (any && (!field.empty() || !fields.empty())) {
        fields.push_back(field);
        records.push_back(fields);
    }
    std::vector<Row> rows;
    if (records.empty()) return rows;
    if (header) *header = records[0];
    for (std::size_t i = 1; i < records.size(); ++i) {
        Row row;
        for (std::size_t k = 0; k < records[0].size() && k < records[i].size(); ++k) row[records[0][k]] = records[i][k];
        rows.push_back(row);
    }
    return rows;
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a command line through the shell with its output caught in files.
inline Outcome runCommand(const std::string& command, const fs::path& scratch) {
    fs::path out = scratch / "stdout.txt";
    fs::path err = scratch / "stderr.txt";
    int raw = std::system((command + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = test::readFile(out).value_or("");
    o.err = test::readFile(err).value_or("");
    return o;
}

inline std::string lab() { return PALAVER_LAB; }

}  // namespace palaver::labtest
