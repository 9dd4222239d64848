#include "net/network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
