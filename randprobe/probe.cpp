#include "probe.h"

#include <cstdint>

namespace randprobe {

int scaleDraw(int r, int n) {
    // long double is the x87 80-bit format here; the rounding of each step
    // is part of the observable output, so keep the two steps separate.
    const long double quotient = static_cast<long double>(r) / 32767.0L;
    const long double product = quotient * static_cast<long double>(n);
    return static_cast<int>(product);
}

int runProbe(std::FILE* in, std::FILE* out, Rand15& gen) {
    std::int32_t n = 2;
    int c = 'c';
    while (c != '0') {
        c = std::getc(in);
        if (c == EOF) {
            // Input is gone before a '0': nothing more can arrive, so stop
            // rather than loop forever on the same character.
            break;
        }
        const int r = gen.next();
        const int v = scaleDraw(r, n);
        std::fprintf(out, "%3d : %3d", static_cast<int>(n), v);
        std::fflush(out);
        // Wraps instead of overflowing after 2^31 characters.
        n = static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + 1u);
    }
    return 0;
}

}  // namespace randprobe
