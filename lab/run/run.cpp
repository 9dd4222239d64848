// The run command's options and the checks that bind them together.
#include "run/run.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "run/engine.h"
#include "run/limits.h"
#include "lab.h"
#include "run/scenario.h"

namespace palaver::lab {

namespace {

std::optional<uint32_t> parseIpv4(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return ntohl(a.s_addr);
}

std::string ipv4Text(uint32_t value) {
    in_addr a{};
    a.s_addr = htonl(value);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace

std::optional<Address> parseContact(const std::string& text) {
    const auto split = text.find_last_of(":@");
    if (split == std::string::npos) return std::nullopt;
    Address a{text.substr(0, split), 0};
    const std::string port = text.substr(split + 1);
    if (!parseIpv4(a.ip) || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    a.port = std::stoi(port);
    if (a.port < limits::Port.low || a.port > limits::Port.high) return std::nullopt;
    return a;
}

std::optional<std::vector<std::string>> consecutiveAddresses(const std::string& first, int count, bool loopbackOnly) {
    const auto start = parseIpv4(first);
    if (!start || count < 1) return std::nullopt;
    const uint64_t last = static_cast<uint64_t>(*start) + static_cast<uint64_t>(count) - 1;
    const uint64_t low = loopbackOnly ? 0x7F000001u : 1u;
    const uint64_t high = loopbackOnly ? 0x7FFFFFFEu : 0xFFFFFFFEu;
    if (*start < low || last > high) return std::nullopt;
    std::vector<std::string> ips;
    ips.reserve(static_cast<std::size_t>(count));
    for (uint64_t v = *start; v <= last; ++v) ips.push_back(ipv4Text(static_cast<uint32_t>(v)));
    return ips;
}

std::string checkRunOptions(const RunOptions& o) {
    const bool host = o.hostNetwork || !o.contact.empty();
    if (!o.contact.empty() && !parseContact(o.contact)) {
        return "--contact: '" + o.contact + "' is not IP:PORT (a dotted quad and a port from 1 to 65535)";
    }
    if (!consecutiveAddresses(o.firstAddress, o.nodes, !host)) {
        return "--first-address: " + std::to_string(o.nodes) + " consecutive addresses from " + o.firstAddress +
               (host ? " run past 255.255.255.254" : " do not fit in the loopback range 127.0.0.1 to 127.255.255.254");
    }
    if (o.leave + o.crash > o.nodes - 1) {
        return "--leave and --crash: " + std::to_string(o.leave + o.crash) + " departures leave no node of " +
               std::to_string(o.nodes) + " to type the lines after the churn";
    }
    const int newcomers = o.contact.empty() ? o.nodes - 1 : o.nodes;
    if (o.burst > newcomers) {
        return "--burst: " + std::to_string(o.burst) + " is more than the " + std::to_string(newcomers) +
               " nodes that join";
    }
    if (o.loss > 0 && host) {
        return "--loss: loss needs the private network namespace, which --host-network and --contact leave";
    }
    return "";
}

std::string checkOutFolder(const std::string& folder) {
    std::error_code ec;
    const std::filesystem::path out(folder);
    if (std::filesystem::exists(out, ec)) {
        if (!std::filesystem::is_directory(out, ec)) return "--out: " + folder + " exists and is not a folder";
        if (!std::filesystem::is_empty(out, ec)) return "--out: " + folder + " exists and is not empty";
    }
    return "";
}

Action addRunCommand(CLI::App& app) {
    return addRunCommand(app, [](const Scenario& scenario, const std::string& out) {
        const std::string reason = checkOutFolder(out);
        if (!reason.empty()) {
            std::fprintf(stderr, "palaver-lab: %s\n", reason.c_str());
            return 2;
        }
        return runScenario(scenario, out, commandLine());
    });
}

Action addRunCommand(CLI::App& app, const ScenarioRunner& runner) {
    CLI::App* run = app.add_subcommand(
        "run", "play a scenario file on real nodes; without one, the scenario the flags stand for (start N nodes, "
               "build an overlay, type lines, churn, stop)");
    auto o = std::make_shared<RunOptions>();
    auto file = std::make_shared<std::string>();
    auto print = std::make_shared<bool>(false);
    run->add_option("scenario", *file,
                    "scenario file (TOML): nodes, groups, a timeline of steps, churn models, expectations; see "
                    "lab/scenarios/");
    run->add_flag("--print-scenario", *print,
                  "write the scenario (the file's, or the one the flags stand for) as TOML on standard output and "
                  "start nothing");
    auto settings = std::make_shared<std::vector<std::string>>();
    run->add_option("--set", *settings,
                    "PATH=VALUE: with a scenario file, replaces or adds one of its values (nodes.count=50, "
                    "timing.quiet_ms=300, step.NAME.KEY=..., group.NAME.KEY=..., expect.NAME.KEY=...); "
                    "repeatable")
        ->allow_extra_args(false);
    run->add_option("--nodes", o->nodes, "number of nodes, at least 2")->capture_default_str()->check(CLI::Range(limits::Nodes.low, limits::Nodes.high));
    run->add_option("--seed", o->seed,
                    "seed of every random choice of the lab (contacts, typists, who leaves or crashes) and of "
                    "the nodes' identities")
        ->capture_default_str();
    run->add_option("--lines", o->lines, "lines typed after the build, and again after the churn")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000000));
    run->add_option("--loss", o->loss,
                    "percentage (0 to 100) of the UDP datagrams between two different nodes that the kernel "
                    "drops; needs the private network namespace")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 100.0));
    run->add_option("--leave", o->leave, "nodes that leave as the disconnect button does, after the lines")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000000));
    run->add_option("--crash", o->crash, "nodes that crash (tell nobody, write no closing report), after the leaves")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000000));
    run->add_option("--burst", o->burst, "the last K newcomers press join through one contact at once")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000000));
    run->add_option("--first-address", o->firstAddress,
                    "address of the first node; the others take the consecutive addresses after it")
        ->capture_default_str()
        ->check(CLI::ValidIPV4);
    run->add_option("--port", o->port, "UDP port of every node")->capture_default_str()->check(CLI::Range(limits::Port.low, limits::Port.high));
    run->add_option("--contact", o->contact,
                    "IP:PORT of a node of an overlay that another lab process or a palaver window runs; the "
                    "first node joins through it (implies --host-network); default: none, the first node "
                    "starts the overlay");
    run->add_option("--out", o->out, "run folder: created, or an existing empty folder (required for a run)");
    run->add_flag("--host-network", o->hostNetwork,
                  "run the nodes on the host's own network instead of a private network namespace (default: off)");
    run->add_option("--join-timeout", o->joinTimeoutMs, "milliseconds a join may take before it counts as failed")
        ->capture_default_str()
        ->check(CLI::Range(limits::TimeoutMs.low, limits::TimeoutMs.high));
    run->add_option("--settle-timeout", o->settleTimeoutMs,
                    "milliseconds the lab waits at most for the overlay to go quiet (after a line, the build, "
                    "a leave)")
        ->capture_default_str()
        ->check(CLI::Range(limits::TimeoutMs.low, limits::TimeoutMs.high));
    run->add_option("--quiet", o->quietMs,
                    "milliseconds without a datagram sent or taken in by any node that make the overlay quiet")
        ->capture_default_str()
        ->check(CLI::Range(limits::QuietMs.low, limits::QuietMs.high));
    run->add_option("--hold-members", o->holdMembers,
                    "after the build, hold until every live node lists this many members (0: no hold); lets "
                    "lab processes that share an overlay wait for each other")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000000));
    run->add_option("--hold-timeout", o->holdTimeoutMs, "milliseconds the hold lasts at most")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400000));
    // The options above; a caller may add its own to the command, which
    // go with a scenario file too.
    auto own = std::make_shared<std::vector<const CLI::Option*>>();
    for (const CLI::Option* option : run->get_options()) own->push_back(option);
    return [o, file, print, settings, run, runner, own] {
        Scenario scenario;
        if (!file->empty()) {
            // The file says what the flags would; its own values change by --set.
            for (const CLI::Option* option : run->get_options()) {
                const std::string name = option->get_name();
                const bool ours = std::find(own->begin(), own->end(), option) != own->end();
                if (ours && option->count() > 0 && name != "--out" && name != "--seed" && name != "--print-scenario" &&
                    name != "--set" && name != "scenario" && name != "--help") {
                    std::fprintf(stderr, "palaver-lab: %s: a scenario file sets this itself; only --out, --seed and "
                                         "--set go with a file\n",
                                 name.c_str());
                    return 2;
                }
            }
            try {
                scenario = loadScenario(*file, *settings);
                if (run->get_option("--seed")->count() > 0) {
                    scenario.seed = o->seed;
                    resolveGroups(scenario);
                }
            } catch (const ScenarioError& e) {
                std::fprintf(stderr, "palaver-lab: %s\n", e.what());
                return 2;
            }
        } else {
            if (!settings->empty()) {
                std::fprintf(stderr, "palaver-lab: --set %s: --set changes a scenario file's values; without a file, "
                                     "give the run's own options\n",
                             settings->front().c_str());
                return 2;
            }
            const std::string reason = checkRunOptions(*o);
            if (!reason.empty()) {
                std::fprintf(stderr, "palaver-lab: %s\n", reason.c_str());
                return 2;
            }
            scenario = scenarioFromOptions(*o);
        }
        if (*print) {
            std::fputs(scenarioToml(scenario).c_str(), stdout);
            return 0;
        }
        if (o->out.empty()) {
            std::fprintf(stderr, "palaver-lab: --out is required: the run folder\n");
            return 2;
        }
        return runner(scenario, o->out);
    };
}

}  // namespace palaver::lab
