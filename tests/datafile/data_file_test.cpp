#include "datafile/data_file.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace tessun {
namespace {

std::tm MakeTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

// Splits at CR LF; fails when a CR or LF stands anywhere else or the text does not end in CR LF.
std::vector<std::string> SplitCrLf(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "text after the last CR LF";
      break;
    }
    const std::string line = bytes.substr(start, end - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "stray line end in: " << line;
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

TEST(DataDateTimeTest, FieldsArePaddedAndTheClockHas24Hours) {
  EXPECT_EQ(FormatDataDate(MakeTime(2024, 3, 7, 0, 0, 0)), "03-07-2024");
  EXPECT_EQ(FormatDataDate(MakeTime(1999, 12, 31, 0, 0, 0)), "12-31-1999");
  EXPECT_EQ(FormatDataDate(MakeTime(987, 1, 1, 0, 0, 0)), "01-01-0987");
  EXPECT_EQ(FormatDataTime(MakeTime(2024, 3, 7, 0, 0, 0)), "00:00:00");
  EXPECT_EQ(FormatDataTime(MakeTime(2024, 3, 7, 9, 5, 3)), "09:05:03");
  EXPECT_EQ(FormatDataTime(MakeTime(2024, 3, 7, 23, 59, 59)), "23:59:59");
  EXPECT_EQ(FormatDataTime(MakeTime(2024, 3, 7, 13, 0, 0)), "13:00:00");
}

TEST(DataDateTimeTest, FieldsOutsideTheirRangeAreRefusedRatherThanWidened) {
  EXPECT_THROW(FormatDataDate(MakeTime(2024, 13, 1, 0, 0, 0)), std::invalid_argument);
  EXPECT_THROW(FormatDataDate(MakeTime(2024, 1, 0, 0, 0, 0)), std::invalid_argument);
  EXPECT_THROW(FormatDataDate(MakeTime(10000, 1, 1, 0, 0, 0)), std::invalid_argument);
  EXPECT_THROW(FormatDataTime(MakeTime(2024, 1, 1, 24, 0, 0)), std::invalid_argument);
  EXPECT_THROW(FormatDataTime(MakeTime(2024, 1, 1, 0, -1, 0)), std::invalid_argument);
}

TEST(DataFileTest, HeaderIsByteExact) {
  LineStore store;
  const std::string bytes = FormatDataFile("Meet 1.txt", "03-07-2024", "09:05:03", store);
  const std::string header =
      "         \r\n"
      "Meet 1.txt    Date  =  03-07-2024    Time  =  09:05:03      \r\n"
      "         \r\n"
      "         \r\n";
  ASSERT_GE(bytes.size(), header.size());
  EXPECT_EQ(bytes.substr(0, header.size()), header);
}

TEST(DataFileTest, HeaderLengthFollowsTheNameAndAnEmptyStoreGivesOneIndentOnlyLine) {
  LineStore store;
  for (const std::string& name :
       {std::string(), std::string("a"), std::string("TessunData.txt"), std::string(200, 'x')}) {
    const std::string bytes = FormatDataFile(name, "01-02-2003", "04:05:06", store);
    const std::size_t header = 11 + (name.size() + 52) + 11 + 11;
    // LineIndex 0 with an empty line 0: one data line holding only the indent.
    EXPECT_EQ(bytes.size(), header + kLineIndent.size() + 2) << name;
    EXPECT_EQ(bytes.substr(header), std::string(kLineIndent) + "\r\n") << name;
  }
}

TEST(DataFileTest, FullStoreGivesOneLinePerIndexIncludingTheLineBeingFilled) {
  LineStore store;
  for (int i = 0; i < LineStore::kLineCount; ++i) {
    store.Lines[i] = "line " + std::to_string(i);
  }
  store.LineIndex = LineStore::kLastLine;
  const std::string bytes = FormatDataFile("f", "01-02-2003", "04:05:06", store);
  const auto lines = SplitCrLf(bytes);
  ASSERT_EQ(lines.size(), 4u + 1001u);
  for (int i = 0; i <= 1000; ++i) {
    ASSERT_EQ(lines[4 + i], "  line " + std::to_string(i));
  }
  EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
}

TEST(DataFileTest, LinesAboveLineIndexAreNotWritten) {
  LineStore store;
  store.Lines[0] = "RESULTS";
  store.Lines[1] = "";
  store.Lines[2] = "not yet part of the collected text";
  store.LineIndex = 1;
  const auto lines = SplitCrLf(FormatDataFile("f", "01-02-2003", "04:05:06", store));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "  RESULTS");
  EXPECT_EQ(lines[5], "  ");
}

TEST(DataFileTest, TextIsCopiedByteForByte) {
  LineStore store;
  store.Lines[0] = " 1  SMITH, J     23.45 ";
  const std::string name = "r\xC3\xA9sultats 2.txt";  // UTF-8 name bytes are kept as they are
  const std::string bytes = FormatDataFile(name, "01-02-2003", "04:05:06", store);
  EXPECT_EQ(bytes.substr(11, name.size()), name);
  EXPECT_EQ(SplitCrLf(bytes).back(), "   1  SMITH, J     23.45 ");
}

TEST(DataFileTest, LineIndexOutsideTheStoreIsAnError) {
  LineStore store;
  store.LineIndex = -1;
  EXPECT_THROW(FormatDataFile("f", "01-02-2003", "04:05:06", store), std::out_of_range);
  store.LineIndex = LineStore::kLineCount;
  EXPECT_THROW(FormatDataFile("f", "01-02-2003", "04:05:06", store), std::out_of_range);
}

TEST(SavePathTest, OneSeparatorBetweenDirectoryAndName) {
#ifdef _WIN32
  EXPECT_EQ(JoinSavePath("C:\\", "a.txt"), "C:\\a.txt");
  EXPECT_EQ(JoinSavePath("C:\\Meets", "a.txt"), "C:\\Meets\\a.txt");
  EXPECT_EQ(JoinSavePath("C:/Meets/", "a.txt"), "C:/Meets/a.txt");
  EXPECT_EQ(JoinSavePath("C:\\Meets", ""), "C:\\Meets\\");
#else
  EXPECT_EQ(JoinSavePath("/", "a.txt"), "/a.txt");
  EXPECT_EQ(JoinSavePath("/home/op", "a.txt"), "/home/op/a.txt");
  EXPECT_EQ(JoinSavePath("/media/usb/", "a.txt"), "/media/usb/a.txt");
  EXPECT_EQ(JoinSavePath("/home/op", ""), "/home/op/");
  // A backslash is an ordinary character in a Linux name.
  EXPECT_EQ(JoinSavePath("/home/op\\", "a.txt"), "/home/op\\/a.txt");
#endif
}

}  // namespace
}  // namespace tessun
