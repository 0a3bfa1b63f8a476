// A small parser of HID report descriptors: from the descriptor bytes a device returns, it works
// out how long its input, output and feature reports are and whether it numbers its reports.
// The lengths are counted as the Windows HID capabilities count them, because the device link
// uses them that way: the largest report of a kind over all report ids, in bytes, plus one byte
// for the report id, even for a device that uses no report ids; 0 when there is no report of
// that kind. Any byte sequence is accepted; malformed input never reads out of range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessun {

struct ReportDescriptorInfo {
  // Report byte lengths including the report-id byte; 0 when there is no such report.
  std::size_t input_length = 0;
  std::size_t output_length = 0;
  std::size_t feature_length = 0;
  // The descriptor declares report ids: every report starts with its id on the wire.
  bool uses_report_ids = false;
  // The descriptor ended inside an item, or pushed or popped its global state out of bounds.
  // The lengths still count every complete item before the fault.
  bool malformed = false;
};

// Longest report the parser counts, in bytes (report-id byte included); longer ones are cut to
// it. Far above anything the USB HID class can carry, so a real descriptor never reaches it.
inline constexpr std::size_t kMaxReportLength = 0xFFFF;
// Depth of the global-state stack (Push items); deeper pushes are ignored and mark the
// descriptor malformed.
inline constexpr std::size_t kMaxGlobalStackDepth = 16;

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace tessun
