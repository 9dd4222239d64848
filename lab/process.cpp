#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace palaver::lab {

// The input is written whole before the output is read: the programs the
// lab runs (nft, gnuplot, Graphviz) read all their input before they print.
ProgramResult runProgram(const std::vector<std::string>& args, const std::string& input) {
    ProgramResult result;
    if (args.empty()) return result;
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
    int spawned = ::posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
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

}  // namespace palaver::lab
