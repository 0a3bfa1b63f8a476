// A fresh folder under the system's temporary directory, removed with everything in it at the
// end of the test.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace tessun::test {

struct TempFolder {
  TempFolder() {
    do {
      path = std::filesystem::temp_directory_path() /
             ("tessun_test." + std::to_string(std::random_device{}()));
    } while (!std::filesystem::create_directory(path));
  }
  ~TempFolder() { std::filesystem::remove_all(path); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::filesystem::path path;
};

}  // namespace tessun::test
