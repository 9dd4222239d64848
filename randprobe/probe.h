// randprobe core: the tool's own 15-bit generator, the scaling rule and the
// read/print loop, kept apart from main() so they can be driven in tests.
#pragma once

#include <cstdint>
#include <cstdio>

namespace randprobe {

// Linear congruential generator yielding 0..32767.
// state := state * 214013 + 2531011 (mod 2^32); value = bits 16..30.
class Rand15 {
public:
    void seed(std::uint32_t s) { state_ = s; }
    int next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 32767u);
    }

private:
    std::uint32_t state_ = 1;
};

// Scales r (0..32767) onto 0..n: r / 32767 * n in extended precision,
// division first, then the product, truncated toward zero. Because both
// steps round, a product that is mathematically an integer can land just
// below it and come out one less (r = 1085, n = 151 gives 4).
int scaleDraw(int r, int n);

// The probe loop. Starting with n = 2, reads one character at a time from
// `in` (every character counts, blanks and line feeds included) and for
// each writes "%3d : %3d" with n and a scaled draw to `out`, flushed, with
// no line end; n then grows by one. Stops after printing for the character
// '0'. If `in` ends (or fails) before a '0', stops at once without printing
// for the failed read. Returns the process exit status, always 0.
int runProbe(std::FILE* in, std::FILE* out, Rand15& gen);

}  // namespace randprobe
