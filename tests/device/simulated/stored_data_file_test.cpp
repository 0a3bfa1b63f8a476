// The file the simulated console sends as its stored data: only a regular file of at most
// 16 MiB is read; everything else is refused with a one-line reason, before it is opened.
#include "device/simulated/stored_data_file.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <fstream>

#include "tests/common/temp_folder.h"

namespace tessun {
namespace {

namespace fs = std::filesystem;

const std::string kText("Heat 1\r\n\0\xFF", 10);

bool Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return fs::file_size(path) == bytes.size();
}

bool Sized(const fs::path& path, std::uintmax_t size) {
  std::ofstream{path};
  fs::resize_file(path, size);
  return fs::file_size(path) == size;
}

struct Case {
  const char* name;
  // Makes the entry at `path`; false when the system cannot make it here.
  bool (*make)(const fs::path& path);
  // How many bytes are read; -1 when the file is refused.
  long long size;
  // When refused: how the reason starts ("@" stands for the path).
  std::string reason;
};

const Case kCases[] = {
    {"Text", [](const fs::path& p) { return Write(p, kText); }, 10, ""},
    {"Empty", [](const fs::path& p) { return Write(p, ""); }, 0, ""},
    {"AtTheLimit", [](const fs::path& p) { return Sized(p, kMaxStoredDataFile); },
     static_cast<long long>(kMaxStoredDataFile), ""},
    {"OverTheLimit", [](const fs::path& p) { return Sized(p, kMaxStoredDataFile + 1); }, -1,
     "@ is larger than 16 MiB"},
    {"LinkToAFile",
     [](const fs::path& p) {
       fs::create_symlink(p.filename().string() + ".target", p);
       return Write(p.string() + ".target", kText);
     },
     10, ""},
    {"Directory", [](const fs::path& p) { return fs::create_directory(p); }, -1,
     "@ is not a regular file"},
    {"Missing", [](const fs::path&) { return true; }, -1, "cannot read @: "},
#if !defined(_WIN32)
    {"Fifo", [](const fs::path& p) { return ::mkfifo(p.c_str(), 0600) == 0; }, -1,
     "@ is not a regular file"},
#endif
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

class StoredDataFileTest : public testing::TestWithParam<Case> {};

TEST_P(StoredDataFileTest, OnlyARegularFileUpTo16MiBIsRead) {
  const Case& c = GetParam();
  test::TempFolder folder;
  const fs::path path = folder.path / "data";
  bool made = false;
  try {
    made = c.make(path);
  } catch (const fs::filesystem_error& error) {
    GTEST_SKIP() << "cannot make the entry here: " << error.what();
  }
  ASSERT_TRUE(made);
  std::string error;
  const auto bytes = ReadStoredDataFile(path.string(), error);
  if (c.size >= 0) {
    ASSERT_TRUE(bytes.has_value()) << error;
    EXPECT_EQ(static_cast<long long>(bytes->size()), c.size);
    if (c.size == 10) {
      EXPECT_EQ(std::string(bytes->begin(), bytes->end()), kText);
    }
  } else {
    std::string reason = c.reason;
    reason.replace(reason.find('@'), 1, path.string());
    EXPECT_FALSE(bytes.has_value());
    EXPECT_TRUE(error.starts_with(reason)) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(Entries, StoredDataFileTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace tessun
