#include "run_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace palaver::lab {

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string writeProcFile(const char* path, const std::string& text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return systemError(std::string("open ") + path);
    ssize_t n = ::write(fd, text.data(), text.size());
    std::string reason = n == static_cast<ssize_t>(text.size()) ? "" : systemError(std::string("write ") + path);
    ::close(fd);
    return reason;
}

std::string bringLoopbackUp() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return systemError("socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string reason;
    if (::ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        reason = systemError("reading the flags of lo");
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        if (::ioctl(fd, SIOCSIFFLAGS, &request) != 0) reason = systemError("bringing lo up");
    }
    ::close(fd);
    return reason;
}

std::string findProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        std::string path = dir + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    if (const char* env = std::getenv("PATH")) {
        std::stringstream dirs(env);
        for (std::string dir; std::getline(dirs, dir, ':');) {
            std::string path = dir;
            path += "/";
            path += name;
            if (!dir.empty() && ::access(path.c_str(), X_OK) == 0) return path;
        }
    }
    return "";
}

struct ProgramResult {
    int status = -1;     // exit status, -1 when it could not run or was killed
    std::string output;  // standard output and error together
};

// Runs a program with `input` on its standard input and collects what it
// prints. The input is written whole before the output is read: nft reads
// its whole file before it says anything.
ProgramResult runProgram(const std::vector<std::string>& args, const std::string& input) {
    ProgramResult result;
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return result;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int spawned = ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (spawned == 0) {
        // A program that ends before it has read everything must not take
        // the lab down with SIGPIPE.
        struct sigaction ignore {};
        struct sigaction previous {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &previous);
        for (std::size_t done = 0; done < input.size();) {
            ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::sigaction(SIGPIPE, &previous, nullptr);
    }
    ::close(in[1]);
    if (spawned == 0) {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            result.output.append(buffer, static_cast<std::size_t>(n));
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    }
    ::close(out[0]);
    return result;
}

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no message" : line;
}

// The drop rule as nft lists it back: a share in hundredths of a percent
// of the random numbers 0 to 9999; at 100 % every datagram.
std::string dropRule(double percent) {
    const long long threshold = std::llround(percent * 100.0);
    if (threshold >= 10000) return "meta l4proto udp drop";
    return "meta l4proto udp numgen random mod 10000 < " + std::to_string(threshold) + " drop";
}

// The ruleset that installLossRules hands to nft.
std::string lossRuleset(double percent, const std::vector<std::string>& ownIps) {
    std::string text =
        "table ip palaver_lab {\n"
        "    set own {\n"
        "        type ipv4_addr . ipv4_addr\n";
    if (!ownIps.empty()) {
        text += "        elements = {";
        for (std::size_t i = 0; i < ownIps.size(); ++i) {
            text += (i ? ", " : " ") + ownIps[i] + " . " + ownIps[i];
        }
        text += " }\n";
    }
    text +=
        "    }\n"
        "    chain input {\n"
        "        type filter hook input priority filter; policy accept;\n"
        "        meta l4proto udp ip saddr . ip daddr @own accept\n"
        "        " +
        dropRule(percent) +
        "\n"
        "    }\n"
        "}\n";
    return text;
}

}  // namespace

std::string enterPrivateNetwork() {
    std::string reason;
    bool entered = false;
    if (::geteuid() == 0) {
        entered = ::unshare(CLONE_NEWNET) == 0;
        if (!entered) reason = systemError("unshare(CLONE_NEWNET)");
    }
    if (!entered) {
        // Not root (or root without the right to a namespace): a user
        // namespace of our own, in which this process is root, owns the
        // network namespace.
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            std::string more = systemError("unshare(CLONE_NEWUSER | CLONE_NEWNET)");
            return reason.empty() ? more : reason + "; " + more;
        }
        std::string r = writeProcFile("/proc/self/setgroups", "deny");
        if (r.empty()) r = writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        if (r.empty()) r = writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        if (!r.empty()) return r;
    }
    return bringLoopbackUp();
}

std::string installLossRules(double percent, const std::vector<std::string>& ownIps) {
    const std::string nft = findProgram("nft");
    if (nft.empty()) return "the nft program is missing (Debian package nftables)";
    ProgramResult load = runProgram({nft, "-f", "-"}, lossRuleset(percent, ownIps));
    if (load.status != 0) return "nft refused the loss rules: " + firstLine(load.output);
    // Read back: the drop rule and the self-send exception are in place.
    ProgramResult list = runProgram({nft, "list", "table", "ip", "palaver_lab"}, "");
    const std::string drop = dropRule(percent);
    if (list.status != 0 || list.output.find(drop) == std::string::npos ||
        list.output.find("@own accept") == std::string::npos) {
        return "the loss rules are not in place after nft loaded them: " + firstLine(list.output);
    }
    return "";
}

std::string raiseOpenFileLimit(std::size_t needed) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return systemError("getrlimit(RLIMIT_NOFILE)");
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        return "the open-file limit is " + std::to_string(limit.rlim_cur) + " (hard limit " +
               std::to_string(limit.rlim_max) + ") and these nodes need " + std::to_string(needed) +
               ": raise the hard limit (ulimit -Hn as root) or run fewer nodes";
    }
    return "";
}

}  // namespace palaver::lab
