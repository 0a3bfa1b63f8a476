// `--diagnose --raw`: the descriptors in hex, the endpoints read from the configuration, and a
// trace of the link's first 2 s without "Get Data".
#include "device/console_raw_facts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "device/report_trace.h"
#include "device/simulated/simulated_console.h"
#include "tests/common/forwarding_port.h"

namespace tessun {
namespace {

using std::chrono::milliseconds;

// A console that gives its descriptors, as the libusb port does.
class DescribedConsole : public test::ForwardingPort {
 public:
  using ForwardingPort::ForwardingPort;
  PortResult<RawDescriptors> ReadRawDescriptors(PortHandle) override {
    // A configuration (9 bytes) with one endpoint descriptor (7 bytes).
    return {{{0x12, 0x01},
             {0x09, 0x02, 0x10, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x07, 0x05, 0x81, 0x03, 0x10,
              0x00, 0x0a},
             {0x06, 0xa0}},
            {}};
  }
};

TEST(ConsoleRawFactsTest, RawFactsShowDescriptorsEndpointsAndAnIdleTrace) {
  ManualClock clock;
  SimulatedConsole console(clock);
  console.AddInterface(SimulatedConsole::Console());
  console.SetReportInterval(milliseconds(10));
  DescribedConsole described(console);
  const std::string text = RawConsoleFacts(described, clock);
  for (const char* line : {"  device descriptor: 12 01\n", "  HID report descriptor: 06 a0\n",
                           "  endpoint 0x81: in, interrupt, max packet 16 bytes, bInterval 10\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  const TraceParse parse = ParseReportTrace(text.substr(text.find(kTraceHeader)));
  ASSERT_TRUE(parse.trace) << parse.line << ": " << parse.error;
  const ReportTrace& trace = *parse.trace;
  EXPECT_GE(trace.records.back().time, 2'000'000);
  EXPECT_GT(std::count_if(trace.records.begin(), trace.records.end(),
                          [](const TraceRecord& r) { return r.kind == TraceKind::kIn; }),
            150);
  EXPECT_TRUE(std::none_of(trace.records.begin(), trace.records.end(),
                           [](const TraceRecord& r) { return r.kind == TraceKind::kOut; }));
  EXPECT_EQ(console.OpenHandleCount(), 0);
  // A port that does not hand its descriptors out says so.
  EXPECT_NE(RawConsoleFacts(console, clock).find("descriptors: not available on this platform"),
            std::string::npos);
}

}  // namespace
}  // namespace tessun
