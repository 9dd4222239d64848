// palaver-lab: runs real overlay nodes through experiments (run) and turns
// the nodes' own logs and reports into figures (analyze).
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace palaver::lab {

// A subcommand registers its options on the app and returns the action that
// runs once parsing has succeeded; the action's value is the exit status.
using Action = std::function<int()>;

Action addRunCommand(CLI::App& app);

struct Scenario;
// What the run command does with the scenario it has checked and the run
// folder it was given; its value is the exit status.
using ScenarioRunner = std::function<int(const Scenario& scenario, const std::string& out)>;
// The run command with another runner (one that spreads the nodes over
// several processes, for one); addRunCommand's checks the folder and plays
// the scenario in this process.
Action addRunCommand(CLI::App& app, const ScenarioRunner& runner);
// What analyze does with a lone folder that another capability of the lab
// reads its own way (a sweep folder, for one): its exit status, or nullopt
// when the folder is not one of its own and is read as a run folder.
using FolderReader = std::function<std::optional<int>(const std::string& dir, const std::string& out, bool pictures)>;
Action addAnalyzeCommand(CLI::App& app, const FolderReader& otherFolder = {});

// The command line labMain was given, word by word.
const std::vector<std::string>& commandLine();

// Parses argv and runs the chosen subcommand. Bad arguments print one line
// on standard error and give 2; --help prints the help and gives 0.
int labMain(int argc, char** argv);

}  // namespace palaver::lab
