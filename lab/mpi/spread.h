// How palaver-lab-mpi spreads the nodes of a run over the ranks of its MPI
// job: in even consecutive blocks, node i (counted from 0) on rank
// floor(i * R / N). Rank r holds the nodes from ceil(r * N / R) up to
// ceil((r + 1) * N / R) - 1, so block sizes differ by at most one and the
// larger blocks come last; with more ranks than nodes some ranks hold none.
#pragma once

#include <cstddef>
#include <cstdint>

namespace palaver::lab::mpi {

inline int rankOfNode(std::size_t node, std::size_t nodes, int ranks) {
    if (nodes == 0 || ranks <= 1) return 0;
    return static_cast<int>(static_cast<uint64_t>(node) * static_cast<uint64_t>(ranks) / static_cast<uint64_t>(nodes));
}

// The first node of `rank` (== nodes when it and all after it hold none).
inline std::size_t firstNodeOf(int rank, std::size_t nodes, int ranks) {
    if (ranks <= 1) return rank <= 0 ? 0 : nodes;
    const uint64_t r = static_cast<uint64_t>(rank);
    const uint64_t n = static_cast<uint64_t>(nodes);
    const uint64_t k = static_cast<uint64_t>(ranks);
    return static_cast<std::size_t>((r * n + k - 1) / k);
}

}  // namespace palaver::lab::mpi
