// The lab's random choices: one generator per kind of choice, all from the
// run's seed, so that e.g. the typists do not shift when a join fails and
// one contact fewer is drawn.
#pragma once

#include <cstdint>
#include <random>

namespace palaver::lab {

enum class Choice : uint32_t { Contacts = 1,
                               Typists = 2,
                               Churn = 3,
                               Groups = 4,
                               Sessions = 5 };

inline std::mt19937_64 generatorFor(uint64_t seed, Choice choice, uint32_t stream = 0) {
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32), static_cast<uint32_t>(choice),
                      stream};
    return std::mt19937_64(seq);
}

inline uint64_t splitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace palaver::lab
