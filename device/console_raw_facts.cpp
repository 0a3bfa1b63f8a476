#include "device/console_raw_facts.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "device/console_protocol.h"
#include "device/device_link.h"
#include "device/report_trace.h"
#include "device/tracing_port.h"

namespace tessun {

namespace {

class NoStatus final : public StatusSink {
 public:
  void SetStatus(std::string_view /*text*/) override {}
  void DataLost(std::uint64_t /*total*/) override {}
};

// The endpoint descriptors of a configuration descriptor, one line each.
std::string Endpoints(std::span<const std::uint8_t> configuration) {
  static constexpr std::array<const char*, 4> kTypes = {"control", "isochronous", "bulk",
                                                        "interrupt"};
  constexpr std::uint8_t kEndpointType = 5;
  std::string text;
  for (std::size_t at = 0; at + 7 <= configuration.size() && configuration[at] >= 2;
       at += configuration[at]) {
    const auto d = configuration.subspan(at);
    if (d[1] == kEndpointType && d[0] >= 7) {
      char line[96];
      std::snprintf(
          line, sizeof line, "  endpoint 0x%02x: %s, %s, max packet %d bytes, bInterval %d\n", d[2],
          (d[2] & 0x80) != 0 ? "in" : "out", kTypes[d[3] & 3], (d[4] | d[5] << 8) & 0x7FF, d[6]);
      text += line;
    }
  }
  return text;
}

std::string Descriptors(DevicePort& port, PortHandle device) {
  const auto [raw, error] = port.ReadRawDescriptors(device);
  if (error) {
    return "  " + error.text + "\n";
  }
  return "  device descriptor: " + HexBytes(raw.device) + "\n" +
         "  configuration descriptor: " + HexBytes(raw.configuration) + "\n" +
         "  HID report descriptor: " + HexBytes(raw.report) + "\n" + Endpoints(raw.configuration);
}

}  // namespace

std::string RawConsoleFacts(DevicePort& port, Clock& clock) {
  std::string text;
  for (const std::string& path : port.ListHidInterfaces().value) {
    const PortHandle device = port.Open(path, OpenMode::kSynchronous).value;
    if (device == kNoHandle) {
      continue;
    }
    const HidAttributes ids = port.GetAttributes(device).value;
    if (ids.VendorID == console::kVendorId && ids.ProductID == console::kProductId) {
      text += "raw facts of the console at " + path + ":\n" + Descriptors(port, device);
    }
    port.Close(device);
  }

  // The link as the program runs it, ticking every 100 ms, over a port that traces it.
  std::string trace;
  TracingPort tracing(port, clock, [&trace](std::string_view lines) {
    trace += lines;
    return true;
  });
  NoStatus status;
  DeviceLink link(tracing, status, &clock);
  if (!link.OpenUsbDevice()) {
    return text + "no usable console: no report trace\n";
  }
  const Clock::TimePoint configured = clock.Now();
  while (clock.Now() - configured < kRawTraceLength) {
    clock.WaitFor(std::chrono::milliseconds(100));
    link.ReadReports();
  }
  link.CloseDevice();
  return text + "the link's first 2 s after the configuration report, without \"Get Data\"" +
         " (a report trace, from the next line to the end):\n" + trace;
}

}  // namespace tessun
