// The data file: a four-line header with the file name, the date and the time, then one line per
// stored line. Only the standard library is used here, so the format builds and is tested on
// every platform without a window.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "store/line_store.h"

namespace tessun {

// Every line of the data file ends with these two bytes, on every platform.
inline constexpr std::string_view kDataLineEnd = "\r\n";
// Header lines 1, 3 and 4.
inline constexpr std::string_view kBlankHeaderLine = "         ";
// The separators of header line 2, and the blanks closing it.
inline constexpr std::string_view kDateLabel = "    Date  =  ";
inline constexpr std::string_view kTimeLabel = "    Time  =  ";
inline constexpr std::string_view kHeaderTail = "      ";

// The date as MM-DD-YYYY (exactly 10 characters), independent of the locale. Throws
// std::invalid_argument when a field of `local` is outside its range.
std::string FormatDataDate(const std::tm& local);

// The time as HH:MM:SS on the 24-hour clock (exactly 8 characters), independent of the locale.
// Throws std::invalid_argument when a field of `local` is outside its range.
std::string FormatDataTime(const std::tm& local);

// The whole file as bytes: the header for `file_name` (used as typed, byte for byte), `date` and
// `time`, then the line indent and the text of Lines(0) to Lines(LineIndex), every line ended by
// CR LF. No byte-order mark, nothing after the last CR LF. The store is only read. Throws
// std::out_of_range when LineIndex is outside 0..1000.
std::string FormatDataFile(std::string_view file_name, std::string_view date, std::string_view time,
                           const LineStore& store);

// The full path of `file_name` in `directory`: joined with one separator, and with none added
// when `directory` already ends in one (as a root directory does). On Windows the separator is
// the backslash (a slash at the end counts as one too); elsewhere it is the slash.
std::string JoinSavePath(std::string_view directory, std::string_view file_name);

}  // namespace tessun
