#include "sweep/runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include "sweep/figures.h"
#include "sweep/stats.h"

extern char** environ;

namespace palaver::lab::sweep {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// One run as a child process: `palaver-lab run ... --out runDir`, its
// standard output and error in the log beside the run folder.
struct Child {
    pid_t pid = -1;
    std::size_t point = 0;
    uint64_t seed = 0;
    fs::path runDir;
    Clock::time_point start;
    bool timedOut = false;
};

std::string lastLineOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        // The run's progress lines end in carriage returns: keep the last part.
        const auto cr = line.rfind('\r');
        if (cr != std::string::npos) line = line.substr(cr + 1);
        if (!line.empty()) last = line;
    }
    if (last.size() > 300) {
        last.resize(300);
        last += "...";
    }
    return last;
}

void removeLeftovers(const fs::path& runDir) {
    std::error_code ec;
    fs::remove_all(runDir, ec);
    fs::remove(resultPath(runDir), ec);
    fs::remove(logPath(runDir), ec);
}

// Starts the run; "" on success, else why it could not start.
std::string startChild(Child& c, const SweepFile& f, const std::string& program) {
    removeLeftovers(c.runDir);
    std::error_code ec;
    fs::create_directories(c.runDir.parent_path(), ec);
    if (ec) return "cannot create " + c.runDir.parent_path().string() + ": " + ec.message();
    std::vector<std::string> args{program, "run"};
    for (std::string& a : runArguments(f.plan, f.points[c.point], c.seed, c.runDir.string())) args.push_back(std::move(a));
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = logPath(c.runDir).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // This very program, even when a rebuild has replaced its file since the
    // sweep began: every run of a sweep runs the same lab.
    std::error_code exists;
    const std::string image = fs::exists("/proc/self/exe", exists) ? "/proc/self/exe" : program;
    const int error = posix_spawn(&c.pid, image.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    c.start = Clock::now();
    if (error != 0) {
        c.pid = -1;
        return "cannot start " + program + ": " + std::strerror(error);
    }
    return "";
}

void writeResult(const Child& c, bool ok, const std::string& reason, int status, int signal) {
    const double seconds = std::chrono::duration<double>(Clock::now() - c.start).count();
    nlohmann::json j = {{"seed", c.seed}, {"ok", ok}, {"reason", reason}, {"exit_status", status < 0 ? nlohmann::json(nullptr) : nlohmann::json(status)}, {"signal", signal}, {"seconds", std::round(seconds * 1000) / 1000}};
    std::ofstream out(resultPath(c.runDir), std::ios::binary | std::ios::trunc);
    out << j.dump(2) << "\n";
}

// After the child ended (or could not start): classifies it, analyses a
// run that went through and records the outcome. Returns its figures, or no
// value when it failed.
// The network the run's nodes used, as its run.json says ("" unknown).
std::string runNetwork(const fs::path& runDir) {
    std::ifstream in(runDir / "run.json", std::ios::binary);
    try {
        const nlohmann::json j = nlohmann::json::parse(in);
        return j.at("parameters").at("network").get<std::string>();
    } catch (const nlohmann::json::exception&) {
        return "";
    }
}

// `besideOthers`: other runs went at the same time, so a run that fell back
// to the host's network may have mixed its datagrams with theirs.
std::optional<Figures> finishChild(const Child& c, int waitStatus, const std::string& startError, int timeLimitS,
                                   bool pictures, bool besideOthers, std::string& reason) {
    int status = -1;
    int signal = 0;
    if (startError.empty()) {
        if (WIFEXITED(waitStatus)) status = WEXITSTATUS(waitStatus);
        if (WIFSIGNALED(waitStatus)) signal = WTERMSIG(waitStatus);
        reason = classifyRun(status, signal, c.timedOut, timeLimitS, runJsonComplete(c.runDir),
                             lastLineOf(logPath(c.runDir)));
    } else {
        reason = startError;
    }
    if (reason.empty() && besideOthers && runNetwork(c.runDir) == "host") {
        reason = "its nodes ran on the host's network (no private network namespace could be made) beside other "
                 "runs; run such sweeps with --jobs 1";
    }
    std::optional<Figures> figures;
    if (reason.empty()) {
        try {
            figures = analyzeRunFolder(c.runDir, pictures);
        } catch (const std::exception& e) {
            reason = std::string("the run's analysis failed: ") + e.what();
        }
    }
    writeResult(c, reason.empty(), reason, status, signal);
    return figures;
}

std::string clock(double seconds) {
    const long s = std::lround(seconds);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    }
    return text;
}

// The progress line on standard error: a bar rewritten in place on a
// terminal, one line per finished run otherwise.
class Progress {
public:
    explicit Progress(bool upper) : upper_(upper), start_(Clock::now()), terminal_(::isatty(2) == 1) {}
    void setTotal(std::size_t total) { total_ = total; }
    // Runs found complete before this sweep started.
    void skipped(std::size_t n) { done_ += n; }
    void finished(bool ok) {
        ++done_;
        failed_ += ok ? 0 : 1;
        ++doneHere_;
        show(true);
    }
    void tick() {
        if (terminal_) show(false);
    }
    void end() {
        if (terminal_ && shown_) std::fputc('\n', stderr);
    }

private:
    void show(bool changed) {
        if (!terminal_ && !changed) return;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        std::string line = "sweep: " + std::to_string(done_) + "/" + (upper_ ? "at most " : "") + std::to_string(total_) +
                           " runs, " + std::to_string(failed_) + " failed, " + clock(elapsed) + " elapsed";
        if (doneHere_ > 0 && total_ > done_) {
            line += ", about " + clock(elapsed / static_cast<double>(doneHere_) * static_cast<double>(total_ - done_)) +
                    " left";
        }
        if (terminal_) {
            constexpr std::size_t Width = 20;
            const std::size_t filled = total_ ? std::min(Width, done_ * Width / total_) : 0;
            const std::string bar = "[" + std::string(filled, '#') + std::string(Width - filled, '.') + "] ";
            std::fprintf(stderr, "\r%s%-70s", bar.c_str(), line.c_str());
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::fflush(stderr);
        shown_ = true;
    }
    bool upper_;
    Clock::time_point start_;
    bool terminal_;
    bool shown_ = false;
    std::size_t total_ = 0, done_ = 0, failed_ = 0, doneHere_ = 0;
};

// Waits for one child; kills those past the time limit meanwhile. Returns
// the index into `running` of the child that ended.
std::size_t waitForChild(std::vector<Child>& running, int timeLimitS, int& waitStatus, Progress* progress) {
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            for (std::size_t i = 0; i < running.size(); ++i) {
                if (running[i].pid == pid) {
                    waitStatus = status;
                    return i;
                }
            }
            continue;  // not one of the runs
        }
        if (pid < 0 && errno != EINTR) {
            // No child left to wait for: count the runs as lost.
            waitStatus = 0;
            return 0;
        }
        const auto now = Clock::now();
        for (Child& c : running) {
            if (!c.timedOut && now - c.start > std::chrono::seconds(timeLimitS)) {
                c.timedOut = true;
                ::kill(c.pid, SIGKILL);
            }
        }
        if (progress) progress->tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::optional<double> targetOf(const std::optional<Figures>& f, const std::string& target) {
    if (!f) return std::nullopt;
    auto it = f->find(target);
    if (it == f->end()) return std::nullopt;
    return it->second;
}

}  // namespace

std::string selfProgram() {
    std::error_code ec;
    std::string p = fs::read_symlink("/proc/self/exe", ec).string();
    if (ec) return "palaver-lab";
    // A file replaced since this process started: its successor at that path.
    const std::string deleted = " (deleted)";
    if (p.size() > deleted.size() && p.compare(p.size() - deleted.size(), deleted.size(), deleted) == 0) {
        p.resize(p.size() - deleted.size());
    }
    return p;
}

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) return "";
    std::istringstream in(path);
    for (std::string entry; std::getline(in, entry, ':');) {
        // An empty entry is the current folder.
        const fs::path dir = entry.empty() ? fs::path(".") : fs::path(entry);
        const fs::path candidate = dir / name;
        if (::access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate)) return dir.string();
    }
    return "";
}

int runLocal(SweepFile& f, const RunnerOptions& o) {
    const std::string program = selfProgram();
    const bool automatic = f.plan.seeds.automatic;
    Progress progress(automatic);
    std::deque<std::pair<std::size_t, uint64_t>> queue;
    std::size_t total = 0;
    std::size_t failed = 0;

    // Per point with --seeds auto: the target's values and the runs still out.
    std::vector<std::vector<double>> values(f.points.size());
    std::vector<int> outstanding(f.points.size(), 0);
    const AutoRule rule{f.plan.seeds.ciWidth, f.plan.seeds.minSeeds, f.plan.seeds.maxSeeds};

    auto decide = [&](std::size_t p) {
        const AutoStep step = autoStep(values[p], static_cast<int>(f.pointSeeds[p].size()), rule);
        if (step.stop) {
            f.stopped[p] = step.reason;
        } else {
            uint64_t next = 1;
            for (uint64_t s : f.pointSeeds[p]) next = std::max(next, s + 1);
            for (int k = 0; k < step.more; ++k) {
                f.pointSeeds[p].push_back(next);
                queue.emplace_back(p, next++);
                ++outstanding[p];
            }
        }
        writeSweepFile(o.dir, f);
    };

    if (automatic) {
        total = f.points.size() * static_cast<std::size_t>(f.plan.seeds.maxSeeds);
        for (std::size_t p = 0; p < f.points.size(); ++p) {
            for (uint64_t seed : f.pointSeeds[p]) {
                const fs::path runDir = o.dir / taskDir(f.points[p], seed);
                if (runState(runDir) == RunState::Complete) {
                    progress.skipped(1);
                    std::optional<Figures> fig;
                    try {
                        fig = analyzeRunFolder(runDir, o.pictures);
                    } catch (const std::exception&) {
                        // Left without a value, as a run whose figure is undefined.
                    }
                    if (const auto v = targetOf(fig, f.plan.seeds.target)) values[p].push_back(*v);
                } else {
                    queue.emplace_back(p, seed);
                    ++outstanding[p];
                }
            }
            if (f.stopped[p].empty() && outstanding[p] == 0) decide(p);
        }
    } else {
        total = f.tasks.size();
        for (const Task& t : f.tasks) {
            if (runState(o.dir / t.dir) == RunState::Complete) {
                progress.skipped(1);
            } else {
                queue.emplace_back(t.point, t.seed);
            }
        }
    }
    progress.setTotal(total);

    std::vector<Child> running;
    while (!queue.empty() || !running.empty()) {
        while (running.size() < static_cast<std::size_t>(o.jobs) && !queue.empty()) {
            Child c;
            c.point = queue.front().first;
            c.seed = queue.front().second;
            queue.pop_front();
            c.runDir = o.dir / taskDir(f.points[c.point], c.seed);
            const std::string error = startChild(c, f, program);
            if (!error.empty()) {
                std::string reason;
                finishChild(c, 0, error, f.plan.timeLimitS, o.pictures, false, reason);
                ++failed;
                progress.finished(false);
                if (automatic && --outstanding[c.point] == 0) decide(c.point);
                continue;
            }
            running.push_back(c);
        }
        if (running.empty()) continue;
        int waitStatus = 0;
        const std::size_t i = waitForChild(running, f.plan.timeLimitS, waitStatus, &progress);
        const Child c = running[i];
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        std::string reason;
        const std::optional<Figures> figures = finishChild(c, waitStatus, "", f.plan.timeLimitS, o.pictures, o.jobs > 1, reason);
        failed += reason.empty() ? 0 : 1;
        progress.finished(reason.empty());
        if (automatic) {
            if (const auto v = targetOf(figures, f.plan.seeds.target)) values[c.point].push_back(*v);
            if (--outstanding[c.point] == 0) decide(c.point);
        }
    }
    progress.end();
    return failed == 0 ? 0 : 1;
}

int runTask(const fs::path& dir, long index, bool pictures) {
    SweepFile f = readSweepFile(dir);
    if (f.plan.seeds.automatic) {
        std::fprintf(stderr, "palaver-lab: --task: the plan in %s uses --seeds auto, which has no task list\n",
                     dir.c_str());
        return 2;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= f.tasks.size()) {
        std::fprintf(stderr, "palaver-lab: --task %ld: the plan in %s has tasks 0 to %zu\n", index, dir.c_str(),
                     f.tasks.size() - 1);
        return 2;
    }
    const Task& t = f.tasks[static_cast<std::size_t>(index)];
    Child c;
    c.point = t.point;
    c.seed = t.seed;
    c.runDir = dir / t.dir;
    if (runState(c.runDir) == RunState::Complete) {
        std::printf("palaver-lab sweep: task %ld (%s) is complete; skipped\n", index, t.dir.c_str());
        return 0;
    }
    std::string reason;
    const std::string error = startChild(c, f, selfProgram());
    int waitStatus = 0;
    if (error.empty()) {
        std::vector<Child> running{c};
        waitForChild(running, f.plan.timeLimitS, waitStatus, nullptr);
        c = running[0];
    }
    finishChild(c, waitStatus, error, f.plan.timeLimitS, pictures, false, reason);
    if (!reason.empty()) {
        std::fprintf(stderr, "palaver-lab sweep: task %ld (%s) failed: %s\n", index, t.dir.c_str(), reason.c_str());
        return 1;
    }
    std::printf("palaver-lab sweep: task %ld (%s) done\n", index, t.dir.c_str());
    return 0;
}

namespace {

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

// 0,1,2,5,7,8 -> "0-2,5,7-8"
std::string indexRanges(const std::vector<std::size_t>& tasks) {
    std::string out;
    for (std::size_t i = 0; i < tasks.size();) {
        std::size_t j = i;
        while (j + 1 < tasks.size() && tasks[j + 1] == tasks[j] + 1) ++j;
        if (!out.empty()) out += ',';
        out += std::to_string(tasks[i]);
        if (j > i) {
            out += '-';
            out += std::to_string(tasks[j]);
        }
        i = j + 1;
    }
    return out;
}

}  // namespace

std::string slurmScript(const SweepFile& f, const fs::path& dir, const std::string& program,
                        const std::vector<std::size_t>& tasks) {
    // The run's limit and a minute for its analysis, in whole minutes.
    const int minutes = (f.plan.timeLimitS + 59) / 60 + 1;
    std::string s = "#!/bin/sh\n";
    s += "# palaver-lab sweep as a SLURM job array: each array task runs one run of the\n";
    s += "# plan in " + (dir / "sweep.json").string() + " (its task list counts from 0)\n";
    s += "# and analyses it. Edit freely before submitting: sbatch " + (dir / "sweep.sbatch").string() + "\n";
    s += "# Afterwards: palaver-lab analyze " + dir.string() + " --out REPORT\n";
    s += "#SBATCH --job-name=palaver-sweep\n";
    s += "#SBATCH --array=" + indexRanges(tasks) + "\n";
    s += "#SBATCH --ntasks=1\n";
    s += "#SBATCH --time=" + std::to_string(minutes) + "\n";
    s += "#SBATCH --output=" + (dir / "slurm" / "task-%a.out").string() + "\n";
    s += "exec " + shellQuote(program) + " sweep --task \"$SLURM_ARRAY_TASK_ID\" " + shellQuote(dir.string()) + "\n";
    return s;
}

}  // namespace palaver::lab::sweep
