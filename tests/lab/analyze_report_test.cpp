// The analyze command from the outside: the CSV files it writes, its one-line
// errors, the comparison of runs, and the report page in a real browser.
#include <gtest/gtest.h>
#include <png.h>

#include <nlohmann/json.hpp>

#include "analyze_support.h"

namespace palaver::labtest {
namespace {

const std::string A = "127.0.0.1@50001", B = "127.0.0.1@50002", C = "127.0.0.1@50003";

// Three nodes in a ring; A's line reaches B and C, B's line is lost at C.
void threeNodes(const fs::path& dir, double loss = 0.0) {
    writeText(dir / (A + ".txt"), log({chat(0, A, 1, "a, b"), chat(2, B, 1, "b")}));
    writeText(dir / (B + ".txt"), log({chat(1, A, 1, "a, b"), chat(0, B, 1, "b"), "error", chat(2, A, 1, "a, b")}));
    writeText(dir / (C + ".txt"), log({chat(1, A, 1, "a, b"), chat(2, A, 1, "a, b")}));
    writeText(dir / ("status_" + A + ".csv"), report(A, B, C, {C}, 2, 2));
    writeText(dir / ("status_" + B + ".csv"), report(B, C, A, {}, 0, 2));
    writeText(dir / ("status_" + C + ".csv"), report(C, A, B, {A}, 1, 1));
    if (loss > 0) {
        writeText(dir / "run.json", R"({"seed": 3, "parameters": {"nodes": 3, "loss": )" + std::to_string(loss) +
                                        R"(}, "nodes": [], "lines": [], "snapshots": [], "phases": [)"
                                        R"({"name": "build", "start_ms": 5, "end_ms": 47, "cpu_ms": 33,)"
                                        R"( "peak_rss_kib": 9001, "load_average": 2.5}]})");
    }
}

TEST(AnalyzeCommand, WritesTheCsvFilesWithTheirColumns) {
    test::TempDir dir;
    threeNodes(dir / "run");
    Outcome o = runCommand(lab() + " analyze '" + (dir / "run").string() + "' --out '" + (dir / "report").string() +
                               "' --no-pictures",
                           dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    // The one "error" line is counted and reported on one line, not fatal.
    EXPECT_NE(o.err.find("1 log line in 1 log is not"), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1);

    std::vector<std::string> header;
    auto messages = readCsv(dir / "report/messages.csv", &header);
    const std::vector<std::string> first = {"originator", "sequence", "alive", "delivered", "reliability", "mean_hops",
                                            "max_hops", "copies", "rmr", "shortest_mean", "stretch"};
    ASSERT_GE(header.size(), first.size());
    EXPECT_EQ(std::vector<std::string>(header.begin(), header.begin() + 11), first);
    ASSERT_EQ(messages.size(), 2u);
    const Row& a = messages[0];
    EXPECT_EQ(a.at("originator"), A);
    EXPECT_EQ(a.at("text"), "a, b");
    EXPECT_EQ(a.at("delivered"), "3");
    EXPECT_EQ(a.at("reliability"), "1");
    EXPECT_EQ(a.at("copies"), "5");
    EXPECT_EQ(a.at("rmr"), "1");  // (5 - 1) / (3 - 1) - 1
    EXPECT_EQ(a.at("mean_hops"), "0.6667");
    EXPECT_EQ(a.at("max_hops"), "1");
    // A reaches B by next and C by back: both one hop, stretch 1.
    EXPECT_EQ(a.at("shortest_mean"), "0.6667");
    EXPECT_EQ(a.at("stretch"), "1");
    const Row& b = messages[1];
    EXPECT_EQ(b.at("delivered"), "2");
    EXPECT_EQ(b.at("reliability"), "0.6667");
    EXPECT_EQ(b.at("rmr"), "0");

    auto nodes = readCsv(dir / "report/nodes.csv", &header);
    const std::vector<std::string> nodeColumns = {"address", "state", "next", "back",
                                                  "random_count", "random_in_degree", "members", "latest_ttl",
                                                  "log_lines"};
    EXPECT_EQ(std::vector<std::string>(header.begin(), header.begin() + 9), nodeColumns);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].at("address"), A);
    EXPECT_EQ(nodes[0].at("random_count"), "1");
    EXPECT_EQ(nodes[0].at("random_in_degree"), "1");  // C's random peer
    EXPECT_EQ(nodes[0].at("members"), "2");
    EXPECT_EQ(nodes[0].at("latest_ttl"), "2");
    EXPECT_EQ(nodes[1].at("log_lines"), "4");
    EXPECT_EQ(nodes[1].at("random_in_degree"), "0");

    auto topology = readCsv(dir / "report/topology.csv");
    ASSERT_EQ(topology.size(), 1u);
    EXPECT_EQ(topology[0].at("ring_intact"), "yes");
    EXPECT_EQ(topology[0].at("diameter"), "1");
    EXPECT_TRUE(fs::exists(dir / "report/report.html"));
}

TEST(AnalyzeCommand, OneLineErrors) {
    test::TempDir dir;
    Outcome missing = runCommand(lab() + " analyze '" + (dir / "gone").string() + "' --out '" +
                                     (dir / "r").string() + "'",
                                 dir.path());
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "palaver-lab: " + (dir / "gone").string() + ": no such folder\n");
    fs::create_directories(dir / "empty");
    Outcome empty = runCommand(lab() + " analyze '" + (dir / "empty").string() + "' --out '" +
                                   (dir / "r").string() + "'",
                               dir.path());
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("no datagram logs"), std::string::npos);
    EXPECT_EQ(std::count(empty.err.begin(), empty.err.end(), '\n'), 1);
    Outcome noOut = runCommand(lab() + " analyze '" + (dir / "empty").string() + "'", dir.path());
    EXPECT_EQ(noOut.status, 2);
}

TEST(AnalyzeCommand, CompareRunsAlongTheirLoss) {
    test::TempDir dir;
    threeNodes(dir / "loss1", 1.0);
    threeNodes(dir / "loss5", 5.0);
    Outcome o = runCommand(lab() + " analyze --compare '" + (dir / "loss1").string() + "' '" +
                               (dir / "loss5").string() + "' --out '" + (dir / "cmp").string() + "'",
                           dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    auto rows = readCsv(dir / "cmp/compare.csv");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].at("x"), "1");
    EXPECT_EQ(rows[1].at("x"), "5");
    EXPECT_EQ(rows[0].at("run"), "01_loss1");
    EXPECT_EQ(rows[1].at("reliability_min"), "0.6667");
    EXPECT_TRUE(fs::exists(dir / "cmp/01_loss1/messages.csv"));
    // Each run's phases as run.json measured them, every column in its place.
    std::vector<std::string> header;
    const auto phases = readCsv(dir / "cmp/01_loss1/phases.csv", &header);
    EXPECT_EQ(header, (std::vector<std::string>{"phase", "start_ms", "end_ms", "duration_ms", "cpu_ms", "peak_rss_kib",
                                                "load_average"}));
    ASSERT_EQ(phases.size(), 1u);
    for (const auto& [column, value] : std::vector<std::pair<std::string, std::string>>{
             {"phase", "build"}, {"start_ms", "5"}, {"end_ms", "47"}, {"duration_ms", "42"}, {"cpu_ms", "33"}, {"peak_rss_kib", "9001"}, {"load_average", "2.5"}}) {
        EXPECT_EQ(phases[0].at(column), value) << column;
    }
    EXPECT_TRUE(fs::exists(dir / "cmp/compare_reliability.svg"));
    EXPECT_TRUE(fs::exists(dir / "cmp/compare_rmr.png"));
    // The page links each run's own page by a relative path.
    std::string page = test::readFile(dir / "cmp/report.html").value_or("");
    EXPECT_NE(page.find("href=\"01_loss1/report.html\""), std::string::npos);
    EXPECT_NE(page.find("src=\"compare_reliability.svg\""), std::string::npos);
}

// Pixels of a PNG file as RGBA rows; empty when it cannot be read.
struct Picture {
    png_uint_32 width = 0, height = 0;
    std::vector<png_byte> rgba;
};
Picture readPng(const fs::path& path) {
    Picture p;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return p;
    image.format = PNG_FORMAT_RGBA;
    std::vector<png_byte> buffer(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr)) return p;
    p.width = image.width;
    p.height = image.height;
    p.rgba = std::move(buffer);
    return p;
}

std::string chromium(const std::string& arguments, const fs::path& scratch) {
    Outcome o = runCommand("timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                           "--disable-background-networking --disable-component-update --disable-sync "
                           "--user-data-dir='" +
                               (scratch / "profile").string() + "' " + arguments,
                           scratch);
    return o.out;
}

// The page opens from the file system in headless Chromium: every picture
// loads through its relative link, and the screenshot is not blank.
TEST(AnalyzeReportPage, RendersWithItsPicturesInChromium) {
    if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
    test::TempDir dir;
    threeNodes(dir / "run");
    Outcome o = runCommand(lab() + " analyze '" + (dir / "run").string() + "' --out '" +
                               (dir / "report").string() + "'",
                           dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string url = "'file://" + (dir / "report/report.html").string() + "'";

    std::string dom = chromium("--virtual-time-budget=5000 --dump-dom " + url, dir.path());
    std::size_t loaded = dom.find("data-images-loaded=\"");
    std::size_t total = dom.find("data-images-total=\"");
    ASSERT_NE(loaded, std::string::npos) << dom.substr(0, 300);
    ASSERT_NE(total, std::string::npos);
    int loadedCount = std::atoi(dom.c_str() + loaded + 20);
    int totalCount = std::atoi(dom.c_str() + total + 19);
    EXPECT_EQ(totalCount, 4);  // topology, hops, reliability, in-degree
    EXPECT_EQ(loadedCount, totalCount);

    const fs::path shot = dir / "shot.png";
    chromium("--screenshot='" + shot.string() + "' --window-size=1200,3000 " + url, dir.path());
    Picture p = readPng(shot);
    ASSERT_EQ(p.width, 1200u);
    ASSERT_EQ(p.height, 3000u);
    std::size_t dark = 0, blue = 0, green = 0;
    for (std::size_t i = 0; i + 3 < p.rgba.size(); i += 4) {
        int r = p.rgba[i], g = p.rgba[i + 1], b = p.rgba[i + 2];
        if (r + g + b < 200) ++dark;
        if (b > 150 && r < 80 && g > 90 && g < 150) ++blue;  // nodes and hop bars (#1f77b4)
        if (g > 140 && g > r + 50 && g > b + 50) ++green;    // in-degree bars (#2ca02c)
    }
    EXPECT_GT(dark, 2000u) << "no text";
    EXPECT_GT(blue, 2000u) << "no topology or hop pictures";
    EXPECT_GT(green, 500u) << "no in-degree picture";
}

}  // namespace
}  // namespace palaver::labtest
