// palaver-lab: runs real overlay nodes through experiments (run) and turns
// the nodes' own logs and reports into figures (analyze).
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace palaver::lab {

// A subcommand registers its options on the app and returns the action that
// runs once parsing has succeeded; the action's value is the exit status.
using Action = std::function<int()>;

Action addRunCommand(CLI::App& app);
Action addAnalyzeCommand(CLI::App& app);

// The command line labMain was given, word by word.
const std::vector<std::string>& commandLine();

// Parses argv and runs the chosen subcommand. Bad arguments print one line
// on standard error and give 2; --help prints the help and gives 0.
int labMain(int argc, char** argv);

}  // namespace palaver::lab
