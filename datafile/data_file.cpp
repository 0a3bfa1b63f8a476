#include "datafile/data_file.h"

#include <cstdio>
#include <stdexcept>

namespace tessun {

namespace {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
bool EndsInSeparator(std::string_view path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}
#else
constexpr char kPathSeparator = '/';
bool EndsInSeparator(std::string_view path) {
  return !path.empty() && path.back() == '/';
}
#endif

void CheckField(int value, int low, int high, const char* what) {
  if (value < low || value > high) {
    throw std::invalid_argument(what);
  }
}

// Formats three two- or four-digit numbers; the fields were checked, so the result has exactly
// the width the pattern gives.
std::string FormatThree(const char* pattern, int a, int b, int c) {
  char text[16];
  const int length = std::snprintf(text, sizeof text, pattern, a, b, c);
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

std::string FormatDataDate(const std::tm& local) {
  CheckField(local.tm_mon, 0, 11, "month out of range");
  CheckField(local.tm_mday, 1, 31, "day out of range");
  CheckField(local.tm_year, -1900, 9999 - 1900, "year out of range");
  return FormatThree("%02d-%02d-%04d", local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
}

std::string FormatDataTime(const std::tm& local) {
  CheckField(local.tm_hour, 0, 23, "hour out of range");
  CheckField(local.tm_min, 0, 59, "minute out of range");
  // 60 is a leap second.
  CheckField(local.tm_sec, 0, 60, "second out of range");
  return FormatThree("%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
}

std::string FormatDataFile(std::string_view file_name, std::string_view date, std::string_view time,
                           const LineStore& store) {
  const int last = store.LineIndex;
  if (last < 0 || last > LineStore::kLastLine) {
    throw std::out_of_range("LineIndex out of range");
  }
  std::string out;
  std::size_t size = 3 * (kBlankHeaderLine.size() + kDataLineEnd.size()) + file_name.size() +
                     kDateLabel.size() + date.size() + kTimeLabel.size() + time.size() +
                     kHeaderTail.size() + kDataLineEnd.size();
  for (int i = 0; i <= last; ++i) {
    size += kLineIndent.size() + store.Lines[i].size() + kDataLineEnd.size();
  }
  out.reserve(size);

  out.append(kBlankHeaderLine).append(kDataLineEnd);
  out.append(file_name).append(kDateLabel).append(date).append(kTimeLabel).append(time);
  out.append(kHeaderTail).append(kDataLineEnd);
  out.append(kBlankHeaderLine).append(kDataLineEnd);
  out.append(kBlankHeaderLine).append(kDataLineEnd);
  for (int i = 0; i <= last; ++i) {
    out.append(kLineIndent).append(store.Lines[i]).append(kDataLineEnd);
  }
  return out;
}

std::string JoinSavePath(std::string_view directory, std::string_view file_name) {
  std::string path(directory);
  if (!EndsInSeparator(directory)) {
    path.push_back(kPathSeparator);
  }
  path.append(file_name);
  return path;
}

}  // namespace tessun
