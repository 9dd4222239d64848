// The report's account of why nodes missed lines and where joins failed:
// misses.csv, failed_joins.csv, their counts and the page's section.
#include <map>
#include <string>
#include <vector>

#include "analyze/analyze_report.h"

namespace palaver::lab {

namespace {

const std::vector<std::string>& joinCauses() {
    static const std::vector<std::string> causes = {"unexplained", "unknown", "dropped", "ended", "given up"};
    return causes;
}

std::string lineName(const Trace& t) { return t.originator + " #" + std::to_string(t.sequence); }

}  // namespace

std::string missesCsv(const Analysis& a) {
    std::string text = "originator,sequence,phase,node,life,cause,detail\n";
    for (const Miss& m : a.misses) {
        const Trace& t = a.traces[m.trace];
        const NodeInfo& n = a.run.nodes[m.node];
        text += csvField(t.originator) + "," + std::to_string(t.sequence) + "," + csvField(t.phase) + "," +
                csvField(n.address) + "," + std::to_string(n.life) + "," + m.cause + "," + csvField(m.detail) + "\n";
    }
    return text;
}

std::string failedJoinsCsv(const Analysis& a) {
    std::string text = "node,life,contact,step,cause,detail\n";
    for (const JoinFailure& f : a.failedJoins) {
        const NodeInfo& n = a.run.nodes[f.node];
        text += csvField(n.address) + "," + std::to_string(n.life) + "," + csvField(n.contact) + "," + f.step + "," +
                f.cause + "," + csvField(f.detail) + "\n";
    }
    return text;
}

nlohmann::json causeCounts(const Analysis& a) {
    nlohmann::json misses = nlohmann::json::object();
    for (const std::string& cause : missCauses()) misses[cause] = 0;
    for (const Miss& m : a.misses) misses[m.cause] = misses[m.cause].get<int>() + 1;
    nlohmann::json joins = nlohmann::json::object();
    for (const JoinFailure& f : a.failedJoins) {
        nlohmann::json& step = joins[f.step];
        step[f.cause] = (step.contains(f.cause) ? step[f.cause].get<int>() : 0) + 1;
    }
    return {{"misses", misses}, {"failed_joins", joins}, {"limits", a.causeLimits}};
}

std::string causesSection(const Analysis& a) {
    std::string page = "<h2 id=\"misses\">Why nodes missed lines</h2>\n";
    for (const std::string& limit : a.causeLimits) page += "<p>Cannot decide: " + html(limit) + ".</p>\n";
    std::map<std::string, std::size_t> count;
    for (const Miss& m : a.misses) ++count[m.cause];
    if (a.misses.empty()) {
        page += "<p>No live node missed a typed line.</p>\n";
    } else {
        page += "<p>Each live node that did not accept a typed line, with one cause (misses.csv): joined later (its "
                "join had not completed), ended (it crashed or left before the flood was over), partitioned, dropped "
                "(the kernel dropped the copies sent toward it), cut off (no node pointing at it accepted the line), "
                "unknown (the folder lacks what would decide it) or unexplained (none of these).</p>\n<table>\n" +
                tableRow({"cause", "misses"}, true);
        for (const std::string& cause : missCauses()) {
            if (count[cause]) page += tableRow({cause, std::to_string(count[cause])});
        }
        page += tableRow({"all", std::to_string(a.misses.size())}) + "</table>\n";
        // Unexplained ones in full, first; the rest folded.
        auto rows = [&](bool unexplained, std::size_t most) {
            std::string t = "<table>\n" + tableRow({"line", "node", "life", "cause", "detail"}, true);
            std::size_t shown = 0;
            for (const Miss& m : a.misses) {
                if ((m.cause == "unexplained") != unexplained) continue;
                if (++shown > most) break;
                const NodeInfo& n = a.run.nodes[m.node];
                t += tableRow({lineName(a.traces[m.trace]), n.address, std::to_string(n.life), m.cause, m.detail});
            }
            return t + "</table>\n";
        };
        if (count["unexplained"]) {
            page += "<h3>Unexplained misses (" + std::to_string(count["unexplained"]) + ")</h3>\n" +
                    rows(true, a.misses.size());
        }
        if (a.misses.size() > count["unexplained"]) {
            page += "<details><summary>The other misses (the first 200; misses.csv holds all)</summary>\n" +
                    rows(false, 200) + "</details>\n";
        }
    }

    if (a.failedJoins.empty()) return page;
    page += "<h2 id=\"failed-joins\">Where joins failed</h2>\n<p>For each join that did not complete, the first "
            "step of the join whose datagram its receiver's log does not show, and why (failed_joins.csv).</p>\n";
    std::map<std::string, std::map<std::string, std::size_t>> byStep;
    for (const JoinFailure& f : a.failedJoins) ++byStep[f.step][f.cause];
    std::vector<std::string> header = {"step"};
    header.insert(header.end(), joinCauses().begin(), joinCauses().end());
    header.push_back("all");
    page += "<table>\n" + tableRow(header, true);
    for (const std::string& step : joinSteps()) {
        auto it = byStep.find(step);
        if (it == byStep.end()) continue;
        std::vector<std::string> row = {step};
        std::size_t all = 0;
        for (const std::string& cause : joinCauses()) {
            const std::size_t n = it->second.count(cause) ? it->second.at(cause) : 0;
            row.push_back(std::to_string(n));
            all += n;
        }
        row.push_back(std::to_string(all));
        page += tableRow(row);
    }
    page += "</table>\n";
    std::string unexplained;
    for (const JoinFailure& f : a.failedJoins) {
        if (f.cause != "unexplained") continue;
        const NodeInfo& n = a.run.nodes[f.node];
        unexplained += tableRow({n.address, std::to_string(n.life), n.contact, f.step, f.detail});
    }
    if (!unexplained.empty()) {
        page += "<h3>Unexplained failed joins</h3>\n<table>\n" +
                tableRow({"node", "life", "contact", "step", "detail"}, true) + unexplained + "</table>\n";
    }
    return page;
}

}  // namespace palaver::lab
