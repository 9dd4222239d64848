#include <cstdio>
#include <string>

#include "lab.h"
#include "sweep/sweep.h"

namespace palaver::lab {

namespace {
std::vector<std::string> givenCommandLine;
}

const std::vector<std::string>& commandLine() { return givenCommandLine; }

int labMain(int argc, char** argv) {
    givenCommandLine.assign(argv, argv + argc);
    CLI::App app{"palaver-lab: runs real palaver nodes through experiments and analyses their files"};
    app.set_version_flag("--version", std::string("palaver-lab ") + PALAVER_LAB_VERSION);
    app.require_subcommand(1);
    Action run = addRunCommand(app);
    // A sweep folder (its sweep.json) is the sweep's to read: it analyses
    // each run and aggregates the grid.
    Action analyze = addAnalyzeCommand(app, [](const std::string& dir, const std::string& out, bool pictures) {
        return sweep::isSweepFolder(dir) ? std::optional<int>(sweep::analyzeSweep(dir, out, pictures)) : std::nullopt;
    });
    Action sweep = sweep::addSweepCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return app.exit(CLI::CallForHelp());
    } catch (const CLI::CallForAllHelp&) {
        return app.exit(CLI::CallForAllHelp());
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "palaver-lab: %s\n", e.what());
        return 2;
    }
    if (app.got_subcommand("run")) return run();
    if (app.got_subcommand("sweep")) return sweep();
    return analyze();
}

}  // namespace palaver::lab
