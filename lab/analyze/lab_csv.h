// The CSV files the lab writes beside the nodes' own (accepts.csv,
// drops.csv, load.csv): a header naming the columns, then one row per
// record, no quoting (no field holds a comma).
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/analyze_model.h"

namespace palaver::lab {

inline std::vector<std::string_view> splitCommas(std::string_view line) {
    std::vector<std::string_view> cells;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        cells.push_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) return cells;
        start = comma + 1;
    }
}

// Calls `row(cell, place)` for each row: `cell(name)` is the row's cell in
// the column of that name, `place` "FILE:LINE: " for its messages. Throws
// AnalyzeError for an unreadable file, a missing column, a row of another
// width than the header or an empty file.
template <typename Row>
void readLabCsv(const std::filesystem::path& path, std::initializer_list<const char*> needed, Row row) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw AnalyzeError(path.string() + ": cannot be read");
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t pos = 0;
    std::size_t lineNumber = 0;
    std::map<std::string, std::size_t, std::less<>> column;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> cells = splitCommas(line);
        const std::string place = path.string() + ":" + std::to_string(lineNumber) + ": ";
        if (lineNumber == 1) {
            for (std::size_t i = 0; i < cells.size(); ++i) column[std::string(cells[i])] = i;
            for (const char* name : needed) {
                if (!column.count(name)) throw AnalyzeError(place + "the header has no column " + name);
            }
            continue;
        }
        if (line.empty()) continue;
        if (cells.size() != column.size()) {
            throw AnalyzeError(place + std::to_string(cells.size()) + " fields where the header names " +
                               std::to_string(column.size()));
        }
        row([&](const char* name) { return cells[column.find(name)->second]; }, place);
    }
    if (lineNumber == 0) throw AnalyzeError(path.string() + ":1: empty, not even a header");
}

}  // namespace palaver::lab
