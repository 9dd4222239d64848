#include "lab.h"

namespace palaver::lab {

Action addRunCommand(CLI::App& app) {
    app.add_subcommand("run", "start N nodes, build an overlay, type lines, churn, stop");
    return [] { return 1; };
}

}  // namespace palaver::lab
