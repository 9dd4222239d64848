#include "lab.h"

namespace palaver::lab {

Action addAnalyzeCommand(CLI::App& app) {
    app.add_subcommand("analyze", "turn run folders into traces, figures and a report page");
    return [] { return 1; };
}

}  // namespace palaver::lab
