#include "device/simulated/stored_data_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace tessun {

std::string TooLargeReason(const std::string& path, std::uintmax_t limit) {
  return path + " is larger than " + std::to_string(limit / (1024 * 1024)) + " MiB";
}

std::optional<std::vector<std::uint8_t>> ReadStoredDataFile(const std::string& path,
                                                            std::string& error,
                                                            std::uintmax_t limit) {
  std::error_code code;
  const auto status = std::filesystem::status(path, code);
  if (code) {
    error = "cannot read " + path + ": " + code.message();
    return std::nullopt;
  }
  if (!std::filesystem::is_regular_file(status)) {
    error = path + " is not a regular file";
    return std::nullopt;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, code);
  if (code || size > limit) {
    error = code ? "cannot read " + path + ": " + code.message() : TooLargeReason(path, limit);
    return std::nullopt;
  }
  std::ifstream file(path, std::ios::binary);
  // One byte more than allowed, to notice a file that grew meanwhile.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size) + 1);
  if (file) {
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  if (!file.is_open() || file.bad() || file.gcount() > static_cast<std::streamsize>(size)) {
    error =
        file.is_open() && !file.bad() ? path + " changed while it was read" : "cannot read " + path;
    return std::nullopt;
  }
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

}  // namespace tessun
