#include "device/libusb/hid_wire.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace tessun {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

Bytes ToBytes(std::span<const std::uint8_t> span) {
  return Bytes(span.begin(), span.end());
}

TEST(HidWireTest, ReportIdByteIsDroppedOnlyWithoutReportIds) {
  const Bytes command = {0x00, 0x01, 0x8D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(ToBytes(ReportToWire(command, false)),
            (Bytes{0x01, 0x8D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  const Bytes numbered = {0x02, 0xAA, 0xBB};
  EXPECT_EQ(ToBytes(ReportToWire(numbered, true)), numbered);
  EXPECT_TRUE(ReportToWire(Bytes{0x00}, false).empty());
  EXPECT_TRUE(ReportToWire(Bytes{}, false).empty());
  EXPECT_TRUE(ReportToWire(Bytes{}, true).empty());
}

TEST(HidWireTest, ReceivedReportsGetTheirIdInFront) {
  const Bytes received = {0x03, 'A', 'B', 'C', 0, 0, 0, 0};
  EXPECT_EQ(ReportFromWire(received, false), (Bytes{0x00, 0x03, 'A', 'B', 'C', 0, 0, 0, 0}));
  EXPECT_EQ(ReportFromWire(received, true), received);
  EXPECT_TRUE(ReportFromWire(Bytes{}, false).empty());
}

// The reader's step from a finished input transfer to the queue, as the libusb port takes it.
TEST(HidWireTest, FinishedInputTransfersReachTheQueueWithTheirReportId) {
  using End = InputTransferEnd;
  struct Case {
    const char* what;
    End end;
    Bytes received;
    bool uses_report_ids;
    Bytes queued;  // empty: nothing queued
  };
  const Case cases[] = {
      {"full report, no ids",
       End::kCompleted,
       {7, 'a', 'b', 'c', 'd', 'e', 'f', 'g'},
       false,
       {0, 7, 'a', 'b', 'c', 'd', 'e', 'f', 'g'}},
      {"short report, no ids", End::kCompleted, {1, 'x'}, false, {0, 1, 'x'}},
      {"numbered report", End::kCompleted, {3, 1, 'y'}, true, {3, 1, 'y'}},
      {"long report", End::kCompleted, Bytes(64, 1), false,
       [] {
         Bytes report(65, 1);
         report[0] = 0;
         return report;
       }()},
      {"zero-length packet, no ids", End::kCompleted, {}, false, {}},
      {"zero-length packet, ids", End::kCompleted, {}, true, {}},
      {"cancelled", End::kCancelled, {1, 'z'}, false, {}},
      {"timed out", End::kTimedOut, {1, 'z'}, false, {}},
  };
  for (const Case& c : cases) {
    InputReportQueue queue;
    int errors_in_row = 2;
    const InputTransferVerdict verdict =
        TakeInputTransfer(c.end, c.received, c.uses_report_ids, errors_in_row, queue);
    EXPECT_FALSE(verdict.clear_halt) << c.what;
    EXPECT_TRUE(verdict.failure.empty()) << c.what;
    EXPECT_EQ(errors_in_row, c.end == End::kCompleted ? 0 : 2) << c.what;
    ASSERT_EQ(queue.Size(), c.queued.empty() ? 0u : 1u) << c.what;
    if (!c.queued.empty()) {
      Bytes buffer(c.queued.size() + 1, 0xEE);
      const std::atomic<bool> live{false};
      const ReadResult read = queue.Pop(buffer, milliseconds(0), live);
      EXPECT_EQ(read.bytes, c.queued.size()) << c.what;
      buffer.resize(read.bytes);
      EXPECT_EQ(buffer, c.queued) << c.what;
    }
  }
}

TEST(HidWireTest, AStallClearsTheHaltAndTheThirdErrorInARowEndsTheDevice) {
  using End = InputTransferEnd;
  InputReportQueue queue;
  int errors_in_row = 0;
  const auto take = [&](End end) {
    return TakeInputTransfer(end, Bytes{1, 'q'}, false, errors_in_row, queue);
  };
  EXPECT_TRUE(take(End::kStall).clear_halt);
  EXPECT_TRUE(take(End::kError).failure.empty());
  EXPECT_TRUE(take(End::kCompleted).failure.empty());  // a good transfer ends the run
  EXPECT_TRUE(take(End::kError).failure.empty());
  EXPECT_TRUE(take(End::kError).failure.empty());
  EXPECT_EQ(take(End::kStall).failure, "repeated transfer errors");
  errors_in_row = 0;
  EXPECT_EQ(take(End::kNoDevice).failure, "device gone");
  // A report longer than the transfer is lost: that is a failure, never a silent drop.
  EXPECT_EQ(take(End::kOverflow).failure, "input report longer than the transfer (overflow)");
  EXPECT_EQ(queue.Size(), 1u);
}

// The input transfer holds the longest report on the wire, whether the descriptor or the
// endpoint's packet size says it is longer.
TEST(HidWireTest, InputTransferHoldsTheLongerOfReportAndPacket) {
  struct Case {
    std::size_t input_length;  // with the report-id byte
    bool uses_report_ids;
    std::size_t max_packet;
    std::size_t transfer;
  };
  const Case cases[] = {
      {9, false, 8, 8},         // the console: 8 bytes on the wire, 8-byte packets
      {9, false, 16, 16},       // packets longer than the descriptor's report
      {3, true, 2, 3},          // numbered reports send their id byte
      {0, false, 0, 1},         // nothing known: one byte
      {9000, false, 64, 4096},  // capped
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InputTransferLength(c.input_length, c.uses_report_ids, c.max_packet, 4096),
              c.transfer)
        << c.input_length << " " << c.uses_report_ids << " " << c.max_packet;
  }
}

TEST(HidWireTest, ClassRequestSetupPackets) {
  // The console's configuration feature report: 5 bytes after the (unsent) id 0.
  EXPECT_EQ(SetReportSetup(HidReportType::kFeature, 0, 0, 5),
            (ControlSetup{0x21, 0x09, 0x0300, 0x0000, 5}));
  EXPECT_EQ(SetReportSetup(HidReportType::kOutput, 0x02, 1, 17),
            (ControlSetup{0x21, 0x09, 0x0202, 0x0001, 17}));
  EXPECT_EQ(SetReportSetup(HidReportType::kInput, 0xFF, 3, 0),
            (ControlSetup{0x21, 0x09, 0x01FF, 0x0003, 0}));
  EXPECT_EQ(GetReportDescriptorSetup(2, 52), (ControlSetup{0x81, 0x06, 0x2200, 0x0002, 52}));
}

TEST(HidWireTest, ReportDescriptorLengthFromTheHidClassDescriptor) {
  // The usual HID descriptor: HID 1.11, one class descriptor, report descriptor of 34 bytes.
  const Bytes usual = {0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x22, 0x00};
  EXPECT_EQ(ReportDescriptorLength(usual), 34);
  // A physical descriptor listed first, then a report descriptor of 0x0140 bytes, after an
  // unrelated class-specific descriptor.
  const Bytes two = {0x04, 0x24, 0x00, 0x00,  //
                     0x0C, 0x21, 0x11, 0x01, 0x00, 0x02, 0x23, 0x10, 0x00, 0x22, 0x40, 0x01};
  EXPECT_EQ(ReportDescriptorLength(two), 0x0140);
  // Missing, cut short, or with a zero length byte that would never advance.
  EXPECT_EQ(ReportDescriptorLength(Bytes{}), std::nullopt);
  EXPECT_EQ(ReportDescriptorLength(Bytes(usual.begin(), usual.end() - 1)), std::nullopt);
  EXPECT_EQ(ReportDescriptorLength(Bytes{0x00, 0x21, 0x11}), std::nullopt);
  // A count of class descriptors larger than the descriptor holds.
  const Bytes overcount = {0x09, 0x21, 0x11, 0x01, 0x00, 0x05, 0x23, 0x10, 0x00};
  EXPECT_EQ(ReportDescriptorLength(overcount), std::nullopt);
}

TEST(HidWireTest, InterfacePathsRoundTripAndRejectOtherText) {
  const UsbInterfacePath path{1, 4, 0};
  EXPECT_EQ(FormatUsbInterfacePath(path), "usb:001:004:0");
  EXPECT_EQ(ParseUsbInterfacePath("usb:001:004:0"), path);
  const UsbInterfacePath high{255, 127, 12};
  EXPECT_EQ(ParseUsbInterfacePath(FormatUsbInterfacePath(high)), high);
  EXPECT_EQ(ParseUsbInterfacePath("usb:3:9:1"), (UsbInterfacePath{3, 9, 1}));
  for (const char* bad :
       {"", "usb:", "usb:001:004", "usb:001:004:", "usb:256:001:0", "usb:001:004:0x",
        "usb:0001:004:0", "usb:-01:004:0", "hid:001:004:0", "usb:001:004:0:1", "/dev/hidraw0"}) {
    EXPECT_EQ(ParseUsbInterfacePath(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(UsbfsNodePath(1, 4), "/dev/bus/usb/001/004");
}

}  // namespace
}  // namespace tessun
