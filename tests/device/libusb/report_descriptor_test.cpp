#include "device/libusb/report_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "device/console_protocol.h"
#include "tests/common/console_report_descriptor.h"

namespace tessun {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The timing console.
const Bytes kConsole(test_data::kConsoleReportDescriptor.begin(),
                     test_data::kConsoleReportDescriptor.end());

// The boot keyboard of the HID class definition: 8-byte input, 5 LED bits plus 3 padding bits
// of output.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // Generic Desktop, Keyboard, Application
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,              // modifier keys
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,  // 8 x 1 bit
    0x81, 0x02,                                      // Input: modifiers
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // Input: reserved byte (constant)
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,  // Output: 5 LEDs
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // Output: 3 bits padding
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // 6 key codes
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,  // Input: key array
    0xC0,
};

// The boot mouse: 3 buttons, 5 padding bits, X and Y; no output report.
const Bytes kBootMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00,  // Mouse, Pointer
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01,  // buttons 1-3
    0x95, 0x03, 0x75, 0x01, 0x81, 0x02,                          // Input: 3 x 1 bit
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01,                          // Input: 5 bits padding
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F,  // X, Y
    0x75, 0x08, 0x95, 0x02, 0x81, 0x06,                          // Input: 2 x 8 bits
    0xC0, 0xC0,
};

// A composite device with numbered reports: a keyboard (id 1), a vendor channel (id 2) and a
// consumer control (id 3), with output reports of 1, 16 and 2 bytes and features of 4 and 3
// bytes.
const Bytes kNumberedReports = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,        // Keyboard
    0x85, 0x01,                                //   Report ID (1)
    0x75, 0x08, 0x95, 0x08, 0x81, 0x02,        //   Input: 8 bytes
    0x75, 0x01, 0x95, 0x05, 0x91, 0x02,        //   Output: 5 bits
    0x75, 0x03, 0x95, 0x01, 0x91, 0x01,        //   Output: 3 bits padding
    0xC0,                                      //
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,  // Vendor
    0x85, 0x02,                                //   Report ID (2)
    0x75, 0x08, 0x95, 0x20, 0x81, 0x02,        //   Input: 32 bytes
    0x95, 0x10, 0x91, 0x02,                    //   Output: 16 bytes
    0x95, 0x04, 0xB1, 0x02,                    //   Feature: 4 bytes
    0xC0,                                      //
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01,        // Consumer Control
    0x85, 0x03,                                //   Report ID (3)
    0x75, 0x10, 0x95, 0x01, 0x81, 0x00,        //   Input: 2 bytes
    0x91, 0x02,                                //   Output: 2 bytes
    0x75, 0x08, 0x95, 0x03, 0xB1, 0x02,        //   Feature: 3 bytes
    0xC0,
};

// Whole descriptors of real kinds of device: the largest report of each kind, the report-id
// byte counted even without report ids, 0 for a kind the device does not have.
TEST(ReportDescriptorTest, LengthsOfRealDescriptors) {
  struct Case {
    const char* name;
    const Bytes& descriptor;
    std::size_t input;
    std::size_t output;
    std::size_t feature;
    bool report_ids;
  };
  const Case cases[] = {
      {"the console", kConsole, console::kReportLength, console::kReportLength,
       console::kLineConfiguration.size(), false},
      // A one-byte LED report.
      {"boot keyboard", kBootKeyboard, 9, 2, 0, false},
      {"boot mouse", kBootMouse, 4, 0, 0, false},
      // The largest of each kind over all report ids.
      {"numbered reports", kNumberedReports, 33, 17, 5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReportDescriptorInfo info = ParseReportDescriptor(c.descriptor);
    EXPECT_EQ(info.input_length, c.input);
    EXPECT_EQ(info.output_length, c.output);
    EXPECT_EQ(info.feature_length, c.feature);
    EXPECT_EQ(info.uses_report_ids, c.report_ids);
    EXPECT_FALSE(info.malformed);
  }
}

TEST(ReportDescriptorTest, ItemsOfOneReportIdAddUpAcrossCollections) {
  // Report 1's output is declared in two collections, 4 + 6 bytes; report 2 has 8 bytes.
  const Bytes descriptor = {
      0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x04, 0x91, 0x02, 0xC0,  //
      0xA1, 0x01, 0x85, 0x02, 0x95, 0x08, 0x91, 0x02, 0xC0,              //
      0xA1, 0x01, 0x85, 0x01, 0x95, 0x06, 0x91, 0x02, 0xC0,
  };
  EXPECT_EQ(ParseReportDescriptor(descriptor).output_length, 11u);
}

TEST(ReportDescriptorTest, PartialBytesRoundUp) {
  // 12 bits of output take 2 bytes.
  const Bytes descriptor = {0x75, 0x04, 0x95, 0x03, 0x91, 0x02};
  EXPECT_EQ(ParseReportDescriptor(descriptor).output_length, 3u);
}

TEST(ReportDescriptorTest, PushAndPopRestoreSizeCountAndId) {
  const Bytes descriptor = {
      0x85, 0x01, 0x75, 0x08, 0x95, 0x02,  // id 1, 2 x 8 bits
      0xA4,                                // Push
      0x85, 0x02, 0x75, 0x10, 0x95, 0x04,  // id 2, 4 x 16 bits
      0x91, 0x02,                          // Output: 8 bytes in report 2
      0xB4,                                // Pop: id 1, 2 x 8 bits again
      0x91, 0x02,                          // Output: 2 bytes in report 1
      0x91, 0x02,                          // Output: 2 more bytes in report 1
  };
  const ReportDescriptorInfo info = ParseReportDescriptor(descriptor);
  EXPECT_EQ(info.output_length, 9u);  // report 2 is the larger one
  EXPECT_FALSE(info.malformed);

  // The same with the pop taking report 1 past report 2.
  Bytes longer = descriptor;
  for (int i = 0; i < 3; ++i) {
    longer.insert(longer.end(), {0x91, 0x02});
  }
  EXPECT_EQ(ParseReportDescriptor(longer).output_length, 11u);
}

TEST(ReportDescriptorTest, LongItemsAreSkipped) {
  Bytes descriptor = kConsole;
  // A long item whose data looks like a huge output item, before End Collection.
  const Bytes long_item = {0xFE, 0x04, 0xF0, 0x95, 0xFF, 0x91, 0x02};
  descriptor.insert(descriptor.end() - 1, long_item.begin(), long_item.end());
  const ReportDescriptorInfo info = ParseReportDescriptor(descriptor);
  EXPECT_EQ(info.output_length, console::kReportLength);
  EXPECT_FALSE(info.malformed);

  // A long item cut short ends the parse, counting what came before.
  Bytes cut = {0x75, 0x08, 0x95, 0x02, 0x91, 0x02, 0xFE, 0x05, 0xF0, 0x01};
  const ReportDescriptorInfo cut_info = ParseReportDescriptor(cut);
  EXPECT_TRUE(cut_info.malformed);
  EXPECT_EQ(cut_info.output_length, 3u);
  EXPECT_TRUE(ParseReportDescriptor(Bytes{0xFE}).malformed);
  EXPECT_TRUE(ParseReportDescriptor(Bytes{0xFE, 0x00}).malformed);
  EXPECT_FALSE(ParseReportDescriptor(Bytes{0xFE, 0x00, 0xF0}).malformed);
}

TEST(ReportDescriptorTest, FourByteValuesAndHugeReportsSaturate) {
  // Report Size and Count of 0xFFFFFFFF, many output items: bounded, no wrap-around.
  Bytes descriptor = {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF};
  for (int i = 0; i < 100; ++i) {
    descriptor.insert(descriptor.end(), {0x91, 0x02});
  }
  const ReportDescriptorInfo info = ParseReportDescriptor(descriptor);
  EXPECT_EQ(info.output_length, kMaxReportLength);
  EXPECT_EQ(info.input_length, 0u);

  // A 4-byte count that is exactly representable: 0x00010000 bits.
  const Bytes exact = {0x75, 0x01, 0x97, 0x00, 0x00, 0x01, 0x00, 0x81, 0x02};
  EXPECT_EQ(ParseReportDescriptor(exact).input_length, 0x2000u + 1);
}

TEST(ReportDescriptorTest, StackFaultsAndBadReportIdsAreMarked) {
  Bytes deep;
  for (std::size_t i = 0; i <= kMaxGlobalStackDepth; ++i) {
    deep.push_back(0xA4);
  }
  EXPECT_TRUE(ParseReportDescriptor(deep).malformed);
  deep.pop_back();
  EXPECT_FALSE(ParseReportDescriptor(deep).malformed);

  // Pop with nothing pushed keeps the current state.
  const Bytes pop_first = {0x75, 0x08, 0x95, 0x02, 0xB4, 0x91, 0x02};
  const ReportDescriptorInfo popped = ParseReportDescriptor(pop_first);
  EXPECT_TRUE(popped.malformed);
  EXPECT_EQ(popped.output_length, 3u);

  // Report id 0 is reserved and an id above 255 does not fit: both are ignored.
  const Bytes bad_ids = {0x85, 0x00, 0x86, 0x00, 0x01, 0x75, 0x08, 0x95, 0x01, 0x91, 0x02};
  const ReportDescriptorInfo bad = ParseReportDescriptor(bad_ids);
  EXPECT_TRUE(bad.malformed);
  EXPECT_FALSE(bad.uses_report_ids);
  EXPECT_EQ(bad.output_length, 2u);
}

TEST(ReportDescriptorTest, EveryTruncationOfARealDescriptorIsSafe) {
  for (const Bytes* full : {&kConsole, &kBootKeyboard, &kNumberedReports}) {
    const ReportDescriptorInfo whole = ParseReportDescriptor(*full);
    for (std::size_t n = 0; n <= full->size(); ++n) {
      const Bytes part(full->begin(), full->begin() + static_cast<std::ptrdiff_t>(n));
      const ReportDescriptorInfo info = ParseReportDescriptor(part);
      // Lengths only grow as items are added; none exceeds the whole descriptor's.
      EXPECT_LE(info.input_length, whole.input_length);
      EXPECT_LE(info.output_length, whole.output_length);
      EXPECT_LE(info.feature_length, whole.feature_length);
    }
  }
  // Cut inside the two data bytes of Logical Maximum (0x26 0xFF 0x00).
  const Bytes cut(kConsole.begin(), kConsole.begin() + 13);
  EXPECT_TRUE(ParseReportDescriptor(cut).malformed);
  EXPECT_FALSE(ParseReportDescriptor(Bytes{}).malformed);
}

TEST(ReportDescriptorTest, RandomBytesStayInBounds) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 300);
  for (int round = 0; round < 2000; ++round) {
    Bytes garbage(static_cast<std::size_t>(length(random)));
    for (std::uint8_t& b : garbage) {
      b = static_cast<std::uint8_t>(byte(random));
    }
    const ReportDescriptorInfo info = ParseReportDescriptor(garbage);
    ASSERT_LE(info.input_length, kMaxReportLength);
    ASSERT_LE(info.output_length, kMaxReportLength);
    ASSERT_LE(info.feature_length, kMaxReportLength);
    ASSERT_NE(info.output_length, 1u);  // a report has at least one byte beyond its id
  }
}

}  // namespace
}  // namespace tessun
