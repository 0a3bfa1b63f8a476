// A new, empty folder under the system's temporary folder, removed with everything in it when the
// object goes: the only place a file test writes.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace tessun::test {

struct TempFolder {
  TempFolder() {
    do {
      path = std::filesystem::temp_directory_path() /
             ("tessun_test." + std::to_string(std::random_device{}()));
    } while (!std::filesystem::create_directory(path));
  }
  ~TempFolder() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::filesystem::path path;
};

}  // namespace tessun::test
