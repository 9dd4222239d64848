// randprobe: for every character typed, prints the range size n and one
// random value scaled onto it, then grows n; ends after the character '0'.
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "probe.h"

int main() {
    randprobe::Rand15 gen;
    gen.seed(static_cast<std::uint32_t>(std::time(nullptr)));
    return randprobe::runProbe(stdin, stdout, gen);
}
