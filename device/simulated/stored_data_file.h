// The file whose bytes the simulated console sends as its stored data (--simulate=FILE).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessun {

// The largest file the simulated console takes as its stored data.
inline constexpr std::uintmax_t kMaxStoredDataFile = 16 * 1024 * 1024;

// The bytes of the file at `path`; nullopt, with `error` set to a one-line reason, unless it is a
// regular file (links followed) of at most `limit` bytes (a whole number of MiB). The type is
// looked at before the file is opened, so a FIFO is never opened and a device never read.
std::optional<std::vector<std::uint8_t>> ReadStoredDataFile(
    const std::string& path, std::string& error, std::uintmax_t limit = kMaxStoredDataFile);

// The bytes of a file larger than `limit` are not read: the reason.
std::string TooLargeReason(const std::string& path, std::uintmax_t limit);

}  // namespace tessun
