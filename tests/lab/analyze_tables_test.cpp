// nodes.csv and topology.csv compared whole, row by row, against a
// hand-made run whose answers were worked out by hand: five nodes, one of
// them crashed and one restarted, snapshots holding links to nodes that are
// no longer live, and values that differ from column to column, so that a
// shifted or swapped column changes a row.
#include <gtest/gtest.h>

#include <algorithm>

#include "analyze_support.h"

namespace palaver::labtest {
namespace {

const std::string A = "127.0.0.1@50001", B = "127.0.0.1@50002", C = "127.0.0.1@50003", D = "127.0.0.1@50004",
                  E = "127.0.0.1@50005";

std::string notice(char type, const std::string& address) { return std::string(1, type) + "00`001`" + ticks(address, 21) + "`"; }

// The run:
//  - A starts the overlay; B joins, crashes at 300 and starts again at 500
//    (life2/); C joins; D joins and crashes at 450; E's join fails.
//  - Snapshots: "start" (A alone, a ring of one), "built" (an intact ring
//    A B C D E), "mid" (B gone: links to B dangle, E hangs on B alone),
//    "churned" (D gone), and the closing reports (E's next is E itself).
//  - Logs: copies, accepted lines, bad lines and leave notices differ.
//  - load.csv: rows at the snapshots (which nodes.csv must not take) and
//    the end rows, every value different; E's life has no end row and B's
//    first no CPU time.
void fiveNodes(const fs::path& dir) {
    writeText(dir / (A + ".txt"), log({chat(0, A, 1, "x"), chat(2, A, 1, "x"), chat(1, C, 1, "y"), notice('D', E)}));
    writeText(dir / ("status_" + A + ".csv"), report(A, B, E, {C, D}, 2, 3));
    writeText(dir / (B + ".txt"), log({chat(1, A, 1, "x")}, false));
    writeText(dir / ("status_" + B + ".csv"), "");
    writeText(dir / "life2" / (B + ".txt"),
              log({chat(1, C, 1, "y"), "error", notice('d', A), notice('D', C), chat(3, C, 1, "y")}));
    writeText(dir / "life2" / ("status_" + B + ".csv"), report(B, C, A, {A}, 1, 4));
    writeText(dir / (C + ".txt"), log({chat(0, C, 1, "y"), chat(1, A, 1, "x"), "? junk", "error", chat(2, A, 1, "x")}));
    writeText(dir / ("status_" + C + ".csv"), report(C, E, B, {A, B}, 3, 2));
    writeText(dir / (D + ".txt"), log({chat(2, A, 1, "x")}, false));
    writeText(dir / ("status_" + D + ".csv"), "");
    writeText(dir / (E + ".txt"), log({}));
    writeText(dir / ("status_" + E + ".csv"), report(E, E, D, {}, 0, 1));

    const fs::path start = dir / "tables/start", built = dir / "tables/built", mid = dir / "tables/mid",
                   churned = dir / "tables/churned";
    writeText(start / ("status_" + A + ".csv"), report(A, A, A));
    writeText(built / ("status_" + A + ".csv"), report(A, B, E, {C}));
    writeText(built / ("status_" + B + ".csv"), report(B, C, A, {D, E}, 4, 5));
    writeText(built / ("status_" + C + ".csv"), report(C, D, B));
    writeText(built / ("status_" + D + ".csv"), report(D, E, C, {A}));
    writeText(built / ("status_" + E + ".csv"), report(E, A, D, {B}));
    writeText(mid / ("status_" + A + ".csv"), report(A, B, C, {B}));
    writeText(mid / ("status_" + C + ".csv"), report(C, D, C, {A}));
    writeText(mid / ("status_" + D + ".csv"), report(D, A, C, {B}, 6, 7));
    writeText(mid / ("status_" + E + ".csv"), report(E, B, B));
    writeText(churned / ("status_" + A + ".csv"), report(A, B, E, {D}));
    writeText(churned / ("status_" + B + ".csv"), report(B, C, E));
    writeText(churned / ("status_" + C + ".csv"), report(C, D, B, {A}));
    writeText(churned / ("status_" + E + ".csv"), report(E, A, C, {C}));

    auto node = [](const std::string& address, int number, int life, int started, const std::string& join,
                   const std::string& contact, const std::string& fate, const std::string& fateMs) {
        return R"({"address": ")" + address + R"(", "node": )" + std::to_string(number) + R"(, "life": )" +
               std::to_string(life) + R"(, "started_ms": )" + std::to_string(started) + R"(, "join": ")" + join +
               R"(", "contact": ")" + contact + R"(", "fate": ")" + fate + R"(", "fate_ms": )" + fateMs + "}";
    };
    writeText(dir / "run.json", R"({"seed": 9, "parameters": {"nodes": 5}, "nodes": [)" +
                                    node(A, 1, 1, 1, "first", "", "alive", "null") + ",\n" +
                                    node(B, 2, 1, 2, "joined", A, "crashed", "300") + ",\n" +
                                    node(B, 2, 2, 500, "joined", C, "alive", "null") + ",\n" +
                                    node(C, 3, 1, 3, "joined", A, "alive", "null") + ",\n" +
                                    node(D, 4, 1, 4, "joined", B, "crashed", "450") + ",\n" +
                                    node(E, 5, 1, 5, "failed", D, "alive", "null") + R"(],
      "lines": [],
      "phases": [{"name": "build", "start_ms": 0, "end_ms": 90, "cpu_ms": 1200, "lab_thread_cpu_ms": 100},
                 {"name": "stop", "start_ms": 1000, "end_ms": 1010, "cpu_ms": 2000, "lab_thread_cpu_ms": 300}],
      "snapshots": [{"name": "start", "dir": "tables/start", "ms": 1}, {"name": "built", "dir": "tables/built", "ms": 100},
                    {"name": "mid", "dir": "tables/mid", "ms": 400}, {"name": "churned", "dir": "tables/churned", "ms": 600}]})");
    writeText(dir / "load.csv", "snapshot,node,life,address,sent,received,cpu_ms\n"
                                "built,1,1," +
                                    A + ",11,12,13\n"
                                        "built,2,1," +
                                    B + ",21,22,23\n"
                                        "mid,4,1," +
                                    D + ",41,42,43\n"
                                        "end,1,1," +
                                    A + ",101,102,103\n"
                                        "end,2,1," +
                                    B + ",201,202,\n"
                                        "end,2,2," +
                                    B + ",211,212,213\n"
                                        "end,3,1," +
                                    C + ",301,302,303\n"
                                        "end,4,1," +
                                    D + ",401,402,404\n");
}

TEST(AnalyzeTables, NodesAndTopologyRowByRow) {
    test::TempDir dir;
    fiveNodes(dir / "run");
    Outcome o = runCommand(lab() + " analyze '" + (dir / "run").string() + "' --out '" + (dir / "report").string() +
                               "' --no-pictures",
                           dir.path());
    ASSERT_EQ(o.status, 0) << o.err;

    // One row per life. A table comes from the closing report, else from the
    // latest snapshot taken while the life lived (B's first life: built; D:
    // mid). random_in_degree counts the closing tables' random entries that
    // name the address (A's entry names the crashed D), on its last life only.
    const std::string nodes =
        "address,state,next,back,random_count,random_in_degree,members,latest_ttl,log_lines,join,contact,fate_ms,"
        "chat_copies,accepted,bad_lines,leave_notices,table_from,node,life,started_ms,sent,received,cpu_ms\n" +
        A + ",alive," + B + "," + E + ",2,2,3,2,4,first,,,3,2,0,1,closing,1,1,1,101,102,103\n" +  //
        B + ",crashed," + C + "," + A + ",2,,5,4,1,joined," + A + ",300,1,1,0,0,built,2,1,2,201,202,\n" +
        B + ",alive," + C + "," + A + ",1,1,4,1,5,joined," + C + ",,2,1,1,2,closing,2,2,500,211,212,213\n" +
        C + ",alive," + E + "," + B + ",2,1,2,3,5,joined," + A + ",,3,2,2,0,closing,3,1,3,301,302,303\n" +
        D + ",crashed," + A + "," + C + ",1,1,7,6,1,joined," + B + ",450,1,1,0,0,mid,4,1,4,401,402,404\n" +
        E + ",alive," + E + "," + D + ",0,0,1,0,0,failed," + D + ",,0,0,0,0,closing,5,1,5,,,\n";
    EXPECT_EQ(test::readFile(dir / "report/nodes.csv").value_or(""), nodes);

    // Worked out by hand from the tables above (live nodes only; links to
    // crashed nodes count for dangling, mismatch and distances through them,
    // never as live nodes or in-degrees):
    //  start:   A alone with next A: a ring of one, nothing dangles.
    //  built:   the ring A B C D E; out-degrees 3 4 2 3 3; distances sum 25
    //           over 20 pairs; every random in-degree 1.
    //  mid:     A and E point at the crashed B (2 dangling); C's back is C,
    //           A's and D's backs mismatch; E reaches only B, so {A C D} and
    //           {E} are two components and 6 pairs unreachable; out-degrees
    //           2 2 3 1; in-degrees A 1, C D E 0.
    //  churned: C's next is the crashed D; B's and E's backs mismatch;
    //           distances 16 over 12 pairs; in-degrees A 1, C 1.
    //  closing: E's next is E itself while others live (dangling); E's back
    //           is D; the cycle E -> E; E reaches no live node (3 pairs);
    //           out-degrees 4 2 3 1; in-degrees A 2, B 1, C 1, E 0.
    const std::string topology =
        "snapshot,live,ring_intact,ring_cycles,longest_cycle,dangling_next,back_mismatch,components,"
        "unreachable_pairs,diameter,mean_distance,predicted_distance,mean_out_degree,in_degree_mean,"
        "in_degree_stddev,in_degree_max,in_degree_zero\n"
        "start,1,yes,1,1,0,0,1,0,0,0,,0,0,0,0,1\n"
        "built,5,yes,1,5,0,0,1,0,2,1.25,2.3219,3,1,0,1,0\n"
        "mid,4,no,0,0,2,3,2,6,2,1.1667,,2,0.25,0.433,1,3\n"
        "churned,4,no,0,0,1,2,1,0,2,1.3333,3.419,2.5,0.5,0.5,1,2\n"
        "closing,4,no,1,1,1,2,1,3,2,1.1111,3.419,2.5,1,0.7071,2,1\n";
    EXPECT_EQ(test::readFile(dir / "report/topology.csv").value_or(""), topology);
}

// The report's Load section from the same run: the busiest lives by
// datagrams taken in (the end rows alone), their random in-degree in the
// closing snapshot on the address's last life only, and the CPU time of the
// nodes beside the lab's, against the last phase's totals (the phases hold
// totals so far: summing them would count the build twice).
TEST(AnalyzeTables, TheLoadSectionRanksTheLivesAndSharesTheCpu) {
    test::TempDir dir;
    fiveNodes(dir / "run");
    Outcome o = runCommand(lab() + " analyze '" + (dir / "run").string() + "' --out '" + (dir / "report").string() +
                               "' --no-pictures",
                           dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string page = test::readFile(dir / "report/report.html").value_or("");
    const std::size_t section = page.find("<h2 id=\"load\">");
    ASSERT_NE(section, std::string::npos);
    auto row = [](const std::vector<std::string>& cells) {
        std::string r = "<tr>";
        for (const std::string& c : cells) r += "<td>" + c + "</td>";
        return r + "</tr>";
    };
    // nodes 1023 = 103 + 213 + 303 + 404 of 2000; the lab's thread 300; the
    // rest 677.
    const std::vector<std::string> rows{
        row({D, "1", "402", "401", "404", ""}),
        row({C, "1", "302", "301", "303", "1"}),
        row({B, "2", "212", "211", "213", "1"}),
        row({B, "1", "202", "201", "", ""}),
        row({A, "1", "102", "101", "103", "2"}),
        row({"the nodes' receive threads (sum of cpu_ms)", "1023", "51.1 %"}),
        row({"the lab's own thread (driver, watches, snapshots)", "300", "15.0 %"}),
    };
    std::size_t at = section;
    for (const std::string& r : rows) {
        const std::size_t found = page.find(r, at);
        EXPECT_NE(found, std::string::npos) << r;
        if (found != std::string::npos) at = found;
    }
    EXPECT_NE(page.find("<td>677</td><td>33.9 %</td>", section), std::string::npos);
    EXPECT_EQ(page.find("<td>" + E + "</td>", section), std::string::npos);  // no end row, no place
}

TEST(AnalyzeTables, ABrokenLoadCsvIsAOneLineErrorWithItsPlace) {
    const std::string header = "snapshot,node,life,address,sent,received,cpu_ms\n";
    const struct {
        const char* what;
        std::string text;
        std::string place;
    } cases[] = {
        {"no cpu_ms column", "snapshot,node,life,address,sent,received\n", "load.csv:1:"},
        {"a word for a count", header + "end,1,1," + A + ",1,2,3\nend,2,1," + B + ",1,many,3\n", "load.csv:3:"},
        {"a field too many", header + "end,1,1," + A + ",1,2,3,4\n", "load.csv:2:"},
        {"no address", header + "end,1,1,somewhere,1,2,3\n", "load.csv:2:"},
        {"life 0", header + "end,1,0," + A + ",1,2,3\n", "load.csv:2:"},
        {"negative cpu", header + "end,1,1," + A + ",1,2,-3\n", "load.csv:2:"},
        {"no snapshot name", header + ",1,1," + A + ",1,2,3\n", "load.csv:2:"},
        {"empty", "", "load.csv:1:"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        fiveNodes(dir / "run");
        writeText(dir / "run" / "load.csv", c.text);
        Outcome o = runCommand(lab() + " analyze '" + (dir / "run").string() + "' --out '" +
                                   (dir / "report").string() + "' --no-pictures",
                               dir.path());
        EXPECT_EQ(o.status, 1) << c.what;
        // The fixture's bad log lines get their own warning first; the error
        // is one line, the last.
        const std::size_t line = o.err.rfind('\n', o.err.size() - 2);
        const std::string last = o.err.substr(line == std::string::npos ? 0 : line + 1);
        EXPECT_NE(last.find(c.place), std::string::npos) << c.what << ": " << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 2) << c.what << ": " << o.err;
        EXPECT_FALSE(fs::exists(dir / "report" / "nodes.csv")) << c.what;
    }
}

}  // namespace
}  // namespace palaver::labtest
