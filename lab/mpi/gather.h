// Bringing a run's files to rank 0 when the ranks share no filesystem: a
// serving rank's nodes write under a staging folder of its own, the run
// folder's absolute path mirrored below it, and at the end the rank sends
// every file there to rank 0, which writes it into the run folder. Paths
// arrive as data: rank 0 writes only inside the run folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace palaver::lab::mpi {

// Where a serving rank's node writes what it would write into `dir`.
inline std::filesystem::path stagedFolder(const std::filesystem::path& staging, const std::filesystem::path& dir) {
    return staging / std::filesystem::absolute(dir).lexically_normal().relative_path();
}

// The file in the run folder that a staged file's path (relative to the
// staging folder) stands for; no value when it would lie outside the run
// folder (or be the folder itself).
inline std::optional<std::filesystem::path> gatheredTarget(const std::filesystem::path& runFolder,
                                                           const std::string& staged) {
    const std::filesystem::path relative(staged);
    if (staged.empty() || relative.is_absolute()) return std::nullopt;
    const std::filesystem::path target = (std::filesystem::path("/") / relative).lexically_normal();
    const std::filesystem::path folder = std::filesystem::absolute(runFolder).lexically_normal();
    const std::filesystem::path inside = target.lexically_relative(folder);
    if (inside.empty() || inside == "." || *inside.begin() == "..") return std::nullopt;
    return target;
}

}  // namespace palaver::lab::mpi
