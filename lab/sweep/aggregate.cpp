#include "sweep/aggregate.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "analyze/analyze_report.h"
#include "process.h"
#include "sweep/sweep.h"

namespace palaver::lab::sweep {

namespace fs = std::filesystem;

namespace {

std::string number(double v) {
    if (!std::isfinite(v)) return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string captionOf(const std::string& figure) {
    for (const FigureInfo& i : standardFigures()) {
        if (figure == i.name) return i.caption;
    }
    if (figure.rfind("expect:", 0) == 0) return "expectation " + figure.substr(7) + " (pass rate)";
    return figure;
}

std::optional<double> asNumber(const std::string& text) {
    try {
        std::size_t used = 0;
        const double v = std::stod(text, &used);
        if (used == text.size() && std::isfinite(v)) return v;
    } catch (const std::exception&) {
        // Not a number.
    }
    return std::nullopt;
}

// Draws `figure` against varied parameter `x`, one curve per combination of
// the other varied parameters' values. Returns the picture's name, "" when
// it could not be drawn.
std::string drawFigure(const SweepFile& f, const std::vector<FigureRow>& rows, const std::string& figure,
                       std::size_t x, const fs::path& out) {
    const Varied& xv = f.plan.vary[x];
    std::vector<std::optional<double>> xs;
    bool numeric = true;
    for (const std::string& v : xv.values) {
        xs.push_back(asNumber(v));
        numeric = numeric && xs.back().has_value();
    }
    std::map<std::string, std::size_t> xIndex;
    for (std::size_t i = 0; i < xv.values.size(); ++i) xIndex[xv.values[i]] = i;
    // Curves keyed by the other parameters' values.
    std::map<std::string, std::vector<const FigureRow*>> curves;
    for (const FigureRow& r : rows) {
        if (r.figure != figure || r.summary.n == 0) continue;
        std::string key;
        for (std::size_t k = 0; k < f.plan.vary.size(); ++k) {
            if (k != x) key += (key.empty() ? "" : ", ") + f.plan.vary[k].name + "=" + f.points[r.point].values[k];
        }
        curves[key].push_back(&r);
    }
    if (curves.empty()) return "";
    std::string safe;
    for (char c : figure) safe += std::isalnum(static_cast<unsigned char>(c)) || c == '_' ? c : '_';
    const std::string name = safe + "-" + folderValue(xv.name);
    std::string data;
    std::string curveList = "plot ";
    std::size_t index = 0;
    for (const auto& [key, points] : curves) {
        std::vector<std::pair<double, const FigureRow*>> sorted;
        for (const FigureRow* r : points) {
            const std::size_t i = xIndex[f.points[r->point].values[x]];
            sorted.emplace_back(numeric ? *xs[i] : static_cast<double>(i), r);
        }
        std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [xValue, r] : sorted) {
            data += number(xValue) + " " + number(r->summary.mean) + " " +
                    number(std::isfinite(r->summary.ci95) ? r->summary.ci95 : 0.0) + "\n";
        }
        data += "\n\n";
        curveList += std::string(index ? ", " : "") + "'" + name + ".dat' index " + std::to_string(index) +
                     " using 1:2:3 with yerrorlines pt 7 title '" +
                     gnuplotText(key.empty() ? "mean, 95 % confidence interval" : key) + "'";
        ++index;
    }
    writeFile(out / (name + ".dat"), data);
    std::string body = "set key outside bottom center horizontal\nset grid\nset xlabel '" + gnuplotText(xv.name) +
                       "'\nset ylabel '" + gnuplotText(captionOf(figure)) +
                       "'\nset offsets graph 0.05, graph 0.05, graph 0.05, graph 0.05\n";
    if (!numeric) {
        body += "set xtics (";
        for (std::size_t i = 0; i < xv.values.size(); ++i) {
            body += (i ? ", " : "") + std::string("'") + gnuplotText(xv.values[i]) + "' " + std::to_string(i);
        }
        body += ")\n";
    }
    return plot(out, name, body + curveList + "\n") ? name : "";
}

std::string linkTo(const fs::path& target, const fs::path& from) {
    std::error_code ec;
    const fs::path abs = fs::absolute(target, ec);
    const fs::path rel = fs::relative(abs, fs::absolute(from, ec), ec);
    return html(ec || rel.empty() ? abs.string() : rel.string());
}

}  // namespace

std::vector<RunOutcome> collectRuns(const SweepFile& f, const fs::path& dir, unsigned threads) {
    std::vector<RunOutcome> runs;
    for (std::size_t p = 0; p < f.points.size(); ++p) {
        for (uint64_t seed : f.pointSeeds[p]) {
            RunOutcome r;
            r.point = p;
            r.seed = seed;
            r.dir = taskDir(f.points[p], seed);
            r.state = runState(dir / r.dir);
            if (r.state == RunState::Failed) r.reason = failureReason(dir / r.dir);
            runs.push_back(std::move(r));
        }
    }
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < runs.size(); i = next++) {
            RunOutcome& r = runs[i];
            if (r.state != RunState::Complete) continue;
            try {
                r.figures = analyzeRunFolder(dir / r.dir, false);
            } catch (const std::exception& e) {
                r.state = RunState::Failed;
                r.reason = std::string("the run's analysis failed: ") + e.what();
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < std::max(1u, threads); ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    return runs;
}

std::vector<FigureRow> aggregate(const SweepFile& f, const std::vector<RunOutcome>& runs) {
    std::vector<std::string> names;
    std::set<std::string> defined;
    std::set<std::string> expectations;
    for (const RunOutcome& r : runs) {
        if (!r.figures) continue;
        for (const auto& [name, v] : *r.figures) {
            defined.insert(name);
            if (name.rfind("expect:", 0) == 0) expectations.insert(name);
        }
    }
    for (const FigureInfo& i : standardFigures()) {
        if (defined.count(i.name)) names.emplace_back(i.name);
    }
    names.insert(names.end(), expectations.begin(), expectations.end());
    std::vector<FigureRow> rows;
    for (std::size_t p = 0; p < f.points.size(); ++p) {
        std::size_t ok = 0;
        std::size_t failed = 0;
        for (const RunOutcome& r : runs) {
            if (r.point != p) continue;
            ok += r.figures.has_value();
            failed += r.state == RunState::Failed;
        }
        for (const std::string& name : names) {
            std::vector<double> values;
            for (const RunOutcome& r : runs) {
                if (r.point != p || !r.figures) continue;
                auto it = r.figures->find(name);
                if (it != r.figures->end()) values.push_back(it->second);
            }
            rows.push_back({p, name, summarize(values), ok, failed});
        }
    }
    return rows;
}

std::string sweepCsv(const SweepFile& f, const std::vector<FigureRow>& rows) {
    std::string csv;
    for (const Varied& v : f.plan.vary) csv += csvField(v.name) + ",";
    csv += "figure,n,mean,sd,ci95,min,max,runs,failed\n";
    for (const FigureRow& r : rows) {
        for (const std::string& v : f.points[r.point].values) csv += csvField(v) + ",";
        const Summary& s = r.summary;
        csv += csvField(r.figure) + "," + std::to_string(s.n) + "," + number(s.mean) + "," + number(s.sd) + "," +
               number(s.ci95) + "," + number(s.min) + "," + number(s.max) + "," + std::to_string(r.runs) + "," +
               std::to_string(r.failed) + "\n";
    }
    return csv;
}

bool isSweepFolder(const std::string& dir) {
    std::error_code ec;
    return fs::is_regular_file(fs::path(dir) / "sweep.json", ec);
}

int analyzeSweep(const std::string& dirText, const std::string& outText, bool pictures) {
    const auto start = std::chrono::steady_clock::now();
    const fs::path dir(dirText);
    const fs::path out(outText);
    try {
        const SweepFile f = readSweepFile(dir);
        const std::vector<RunOutcome> runs = collectRuns(f, dir, std::max(1u, std::thread::hardware_concurrency()));
        const std::vector<FigureRow> rows = aggregate(f, runs);
        std::error_code ec;
        fs::create_directories(out, ec);
        if (!fs::is_directory(out, ec)) throw AnalyzeError(outText + ": cannot create the report folder");
        writeFile(out / "sweep.csv", sweepCsv(f, rows));

        std::size_t ok = 0, failed = 0, unfinished = 0, missing = 0;
        for (const RunOutcome& r : runs) {
            ok += r.figures.has_value();
            failed += r.state == RunState::Failed;
            unfinished += r.state == RunState::CutOff;
            missing += r.state == RunState::Missing;
        }

        std::vector<std::pair<std::string, std::string>> figures;
        std::vector<std::string> notDrawn;
        std::vector<std::string> names;
        for (const FigureRow& r : rows) {
            if (r.point == 0) names.push_back(r.figure);
        }
        if (pictures) {
            for (std::size_t x = 0; x < f.plan.vary.size(); ++x) {
                for (const std::string& name : names) {
                    const std::string picture = drawFigure(f, rows, name, x, out);
                    bool any = false;
                    for (const FigureRow& r : rows) any = any || (r.figure == name && r.summary.n > 0);
                    if (!picture.empty()) {
                        figures.emplace_back(picture, captionOf(name) + " against " + f.plan.vary[x].name +
                                                          " (mean and 95 % confidence interval)");
                    } else if (any) {
                        notDrawn.push_back(name + " against " + f.plan.vary[x].name);
                    }
                }
            }
        }
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

        // report.html
        std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>palaver-lab sweep</title><style>";
        page += PageStyle;
        page += "</style></head><body>\n<h1>palaver-lab sweep</h1>\n<table>\n";
        auto row2 = [&](const std::string& k, const std::string& v) {
            page += "<tr><td>" + html(k) + "</td><td>" + html(v) + "</td></tr>\n";
        };
        row2("sweep folder", fs::absolute(dir, ec).string());
        if (!f.plan.scenario.empty()) row2("scenario", f.plan.scenario);
        std::string fixed;
        for (const std::string& a : f.plan.runArgs) fixed += a + " ";
        row2("fixed run options", fixed.empty() ? "(defaults)" : fixed);
        for (const Varied& v : f.plan.vary) {
            std::string values;
            for (const std::string& s : v.values) values += (values.empty() ? "" : ", ") + s;
            row2("varied: " + v.name, values);
        }
        if (f.plan.seeds.automatic) {
            row2("seeds", "auto: until the 95 % CI of " + f.plan.seeds.target + " is narrower than " +
                              number(f.plan.seeds.ciWidth) + ", at most " + std::to_string(f.plan.seeds.maxSeeds));
        } else {
            row2("seeds", std::to_string(f.plan.seeds.seeds.size()) + " per point");
        }
        row2("runs planned", std::to_string(runs.size()));
        row2("runs that went through", std::to_string(ok));
        row2("runs that failed", std::to_string(failed));
        row2("runs unfinished (cut off or still running)", std::to_string(unfinished));
        row2("runs not started", std::to_string(missing));
        row2("aggregation time (ms)", number(std::round(ms)));
        page += "</table>\n";

        // The point table: the headline figures as mean +- CI half-width (n).
        std::vector<std::string> shown;
        for (const char* n : {"reliability_mean", "reliability_worst", "join_success", "mean_hops", "rmr", "stretch",
                              "ring_intact", "components", "unreachable_pairs", "verdict_passed"}) {
            if (std::find(names.begin(), names.end(), n) != names.end()) shown.emplace_back(n);
        }
        for (const std::string& n : names) {
            if (n.rfind("expect:", 0) == 0) shown.push_back(n);
        }
        page += "<h2>Grid points</h2>\n<p>Each figure: mean &plusmn; 95 % confidence half-width (n runs). Every "
                "figure of every point is in <a href=\"sweep.csv\">sweep.csv</a>.</p>\n<table>\n<tr>";
        for (const Varied& v : f.plan.vary) page += "<th>" + html(v.name) + "</th>";
        page += "<th>runs</th><th>failed</th>";
        for (const std::string& n : shown) page += "<th>" + html(n) + "</th>";
        page += "<th>each run's report</th>";
        if (f.plan.seeds.automatic) page += "<th>why it stopped</th>";
        page += "</tr>\n";
        std::map<std::pair<std::size_t, std::string>, const FigureRow*> byPoint;
        for (const FigureRow& r : rows) byPoint[{r.point, r.figure}] = &r;
        for (std::size_t p = 0; p < f.points.size(); ++p) {
            page += "<tr>";
            for (const std::string& v : f.points[p].values) page += "<td>" + html(v) + "</td>";
            std::size_t pointOk = 0, pointFailed = 0;
            std::string links;
            for (const RunOutcome& r : runs) {
                if (r.point != p) continue;
                pointOk += r.figures.has_value();
                pointFailed += r.state == RunState::Failed;
                const fs::path runDir = dir / r.dir;
                const std::string label = std::to_string(r.seed);
                if (r.figures) {
                    links += "<a href=\"" + linkTo(runDir / "report" / "report.html", out) + "\">" + label + "</a> ";
                } else if (r.state == RunState::Failed) {
                    links += "<a href=\"" + linkTo(logPath(runDir), out) + "\" title=\"" + html(r.reason) + "\">" + label +
                             " (failed)</a> ";
                } else {
                    links += label + " (" + (r.state == RunState::Missing ? "not run" : "unfinished") + ") ";
                }
            }
            page += "<td>" + std::to_string(pointOk) + "</td><td>" + std::to_string(pointFailed) + "</td>";
            for (const std::string& n : shown) {
                const auto it = byPoint.find({p, n});
                std::string cell;
                if (it != byPoint.end() && it->second->summary.n > 0) {
                    const Summary& s = it->second->summary;
                    cell = number(s.mean);
                    if (std::isfinite(s.ci95)) cell += " &plusmn; " + number(s.ci95);
                    cell += " (" + std::to_string(s.n) + ")";
                }
                page += "<td>" + cell + "</td>";
            }
            page += "<td>" + links + "</td>";
            if (f.plan.seeds.automatic) page += "<td>" + html(f.stopped[p].empty() ? "open" : f.stopped[p]) + "</td>";
            page += "</tr>\n";
        }
        page += "</table>\n";
        if (failed > 0) {
            page += "<h2>Failed runs</h2>\n<ul>\n";
            for (const RunOutcome& r : runs) {
                if (r.state != RunState::Failed) continue;
                page += "<li><code>" + html(r.dir) + "</code>: " + html(r.reason) + " (<a href=\"" +
                        linkTo(logPath(dir / r.dir), out) + "\">its output</a>)</li>\n";
            }
            page += "</ul>\n";
        }
        page += "<h2>Pictures</h2>\n";
        if (f.plan.vary.empty()) page += "<p>No parameter varies: the table is the result.</p>\n";
        for (const auto& [name, caption] : figures) {
            page += "<figure><a href=\"" + name;
            page += ".png\"><img src=\"" + name;
            page += ".svg\" alt=\"" + html(caption);
            page += "\"></a><figcaption>" + html(caption) + "</figcaption></figure>\n";
        }
        page += "</body></html>\n";
        writeFile(out / "report.html", page);

        if (!notDrawn.empty()) {
            std::fprintf(stderr, "palaver-lab: could not draw %zu picture%s (is gnuplot installed?)\n", notDrawn.size(),
                         notDrawn.size() == 1 ? "" : "s");
        }
        if (failed > 0) {
            std::fprintf(stderr, "palaver-lab: %zu of %zu runs failed and are left out:\n", failed, runs.size());
            for (const RunOutcome& r : runs) {
                if (r.state == RunState::Failed) std::fprintf(stderr, "  %s: %s\n", r.dir.c_str(), r.reason.c_str());
            }
        }
        if (unfinished + missing > 0) {
            std::fprintf(stderr, "palaver-lab: %zu of %zu runs are unfinished or not started (left out)\n",
                         unfinished + missing, runs.size());
        }
        const double total = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("palaver-lab: sweep of %zu runs (%zu went through, %zu failed, %zu unfinished or not started) "
                    "aggregated in %.0f ms; report in %s/report.html\n",
                    runs.size(), ok, failed, unfinished + missing, total, outText.c_str());
        return 0;
    } catch (const PlanError& e) {
        std::fprintf(stderr, "palaver-lab: %s\n", e.what());
        return 1;
    } catch (const AnalyzeError& e) {
        std::fprintf(stderr, "palaver-lab: %s\n", e.what());
        return 1;
    }
}

}  // namespace palaver::lab::sweep
