#include "run_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "process.h"

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
    ProgramResult list = runProgram({nft, "list", "table", "ip", "palaver_lab"});
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
