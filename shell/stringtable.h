// The program's string table.
#pragma once

#include <cstddef>

namespace palaver::shell {

constexpr int WindowTitleStringId = 103;
constexpr int WindowClassStringId = 109;
constexpr std::size_t StringBufferSize = 100;

// Copies string `id` into `buffer` (cut to fit, always zero-terminated) and
// returns its length; an unknown id gives "" and 0.
std::size_t loadString(int id, char* buffer, std::size_t size);

}  // namespace palaver::shell
