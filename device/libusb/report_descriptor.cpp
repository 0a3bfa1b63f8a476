#include "device/libusb/report_descriptor.h"

#include <algorithm>
#include <array>

namespace tessun {

namespace {

// Item types of a short item (bits 2-3 of its prefix byte).
constexpr std::uint8_t kTypeMain = 0;
constexpr std::uint8_t kTypeGlobal = 1;

// Main item tags.
constexpr std::uint8_t kTagInput = 0x8;
constexpr std::uint8_t kTagOutput = 0x9;
constexpr std::uint8_t kTagFeature = 0xB;

// Global item tags.
constexpr std::uint8_t kTagReportSize = 0x7;
constexpr std::uint8_t kTagReportId = 0x8;
constexpr std::uint8_t kTagReportCount = 0x9;
constexpr std::uint8_t kTagPush = 0xA;
constexpr std::uint8_t kTagPop = 0xB;

// Prefix of a long item: then one byte of data size, one byte of tag, and the data.
constexpr std::uint8_t kLongItemPrefix = 0xFE;

// Bit counts are kept below this bound, so that no sum can overflow.
constexpr std::uint64_t kMaxReportBits = std::uint64_t{kMaxReportLength} * 8;

// The global items that decide where a main item's bits go and how many there are.
struct GlobalState {
  std::uint32_t report_size = 0;
  std::uint32_t report_count = 0;
  std::uint8_t report_id = 0;
};

enum Kind { kInput = 0, kOutput = 1, kFeature = 2, kKinds = 3 };

// Bits per report id and kind.
using BitTable = std::array<std::array<std::uint64_t, 256>, kKinds>;

std::uint32_t ItemValue(std::span<const std::uint8_t> data) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    value |= std::uint32_t{data[i]} << (8 * i);
  }
  return value;
}

void AddBits(std::uint64_t& total, const GlobalState& state) {
  // Both factors are below 2^32, so the product fits; the sum is bounded before it could wrap.
  const std::uint64_t bits = std::uint64_t{state.report_size} * state.report_count;
  total = std::min(total + std::min(bits, kMaxReportBits), kMaxReportBits);
}

std::size_t ReportLength(const std::array<std::uint64_t, 256>& bits_per_id) {
  const std::uint64_t bits = *std::max_element(bits_per_id.begin(), bits_per_id.end());
  if (bits == 0) {
    return 0;
  }
  // Whole bytes of the largest report, plus the report-id byte.
  return std::min<std::size_t>(static_cast<std::size_t>((bits + 7) / 8) + 1, kMaxReportLength);
}

}  // namespace

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor) {
  ReportDescriptorInfo info;
  BitTable bits{};
  GlobalState state;
  std::array<GlobalState, kMaxGlobalStackDepth> stack{};
  std::size_t depth = 0;

  std::size_t pos = 0;
  while (pos < descriptor.size()) {
    const std::uint8_t prefix = descriptor[pos];
    const std::size_t left = descriptor.size() - pos - 1;

    if (prefix == kLongItemPrefix) {
      // Long items carry no report layout: skip them whole.
      if (left < 2 || left - 2 < descriptor[pos + 1]) {
        info.malformed = true;
        break;
      }
      pos += 3 + std::size_t{descriptor[pos + 1]};
      continue;
    }

    const std::size_t size = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
    if (left < size) {
      info.malformed = true;
      break;
    }
    const std::uint8_t type = (prefix >> 2) & 0x3;
    const std::uint8_t tag = prefix >> 4;
    const std::uint32_t value = ItemValue(descriptor.subspan(pos + 1, size));
    pos += 1 + size;

    if (type == kTypeMain) {
      switch (tag) {
        case kTagInput:
          AddBits(bits[kInput][state.report_id], state);
          break;
        case kTagOutput:
          AddBits(bits[kOutput][state.report_id], state);
          break;
        case kTagFeature:
          AddBits(bits[kFeature][state.report_id], state);
          break;
        default:
          break;  // collections carry no bits
      }
    } else if (type == kTypeGlobal) {
      switch (tag) {
        case kTagReportSize:
          state.report_size = value;
          break;
        case kTagReportCount:
          state.report_count = value;
          break;
        case kTagReportId:
          // Report ids are one byte; 0 is reserved. A bad id is ignored.
          if (value == 0 || value > 0xFF) {
            info.malformed = true;
          } else {
            state.report_id = static_cast<std::uint8_t>(value);
            info.uses_report_ids = true;
          }
          break;
        case kTagPush:
          if (depth < stack.size()) {
            stack[depth++] = state;
          } else {
            info.malformed = true;
          }
          break;
        case kTagPop:
          if (depth > 0) {
            state = stack[--depth];
          } else {
            info.malformed = true;
          }
          break;
        default:
          break;  // usage pages, logical and physical ranges, units: no effect on lengths
      }
    }
    // Local items (usages, designators, strings, delimiters) do not change the lengths.
  }

  info.input_length = ReportLength(bits[kInput]);
  info.output_length = ReportLength(bits[kOutput]);
  info.feature_length = ReportLength(bits[kFeature]);
  return info;
}

}  // namespace tessun
