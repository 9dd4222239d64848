// Child programs of the lab: nft for the loss rules, gnuplot and Graphviz
// for the pictures.
#pragma once

#include <string>
#include <vector>

namespace palaver::lab {

struct ProgramResult {
    int status = -1;     // exit status, -1 when it could not run or was killed
    std::string output;  // standard output and error together
};

// Runs args[0] (looked up on PATH when it names no folder) with the other
// arguments, no shell, `input` on its standard input, and collects what it
// prints.
ProgramResult runProgram(const std::vector<std::string>& args, const std::string& input = "");

}  // namespace palaver::lab
