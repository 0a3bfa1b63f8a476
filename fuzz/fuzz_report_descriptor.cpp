// Arbitrary bytes as a device's report descriptor, and as the descriptor bytes that announce its
// length: both come from the device and must never be read out of range. The parse must also be
// a pure function of its input and keep its documented bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "device/libusb/hid_wire.h"
#include "device/libusb/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessun;
  const std::span<const std::uint8_t> bytes(data, size);
  const ReportDescriptorInfo info = ParseReportDescriptor(bytes);
  const ReportDescriptorInfo again = ParseReportDescriptor(bytes);
  if (info.input_length != again.input_length || info.output_length != again.output_length ||
      info.feature_length != again.feature_length ||
      info.uses_report_ids != again.uses_report_ids || info.malformed != again.malformed) {
    std::abort();
  }
  if (info.input_length > kMaxReportLength || info.output_length > kMaxReportLength ||
      info.feature_length > kMaxReportLength) {
    std::abort();
  }
  // The same bytes as the descriptors that follow an interface descriptor.
  (void)ReportDescriptorLength(bytes);
  // And as an input report received from the wire, with and without report ids.
  for (const bool ids : {false, true}) {
    const auto report = ReportFromWire(bytes, ids);
    if (size > 0 && report.size() != (ids ? size : size + 1)) {
      std::abort();
    }
  }
  return 0;
}
