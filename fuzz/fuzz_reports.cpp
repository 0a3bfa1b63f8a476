// Input reports of any length and content, as a faulty or hostile device might send them, go
// through the acquisition tick: the device link's report handling, the receive ring, line
// assembly and the view.
// Besides the sanitizers' checks, the text that reaches the line store must be exactly the data
// bytes the reports carried (as far as the delivered report holds them), in order.
//
// Input: byte 0 is the report length the device announces (output and input); then
// events, each a control byte and, for a report, a length byte and that many report bytes (cut
// at the end of the input). Control bits 0-2: 0-5 a report, 6 a read that times out, 7 a read
// that fails. Control bit 6: empty the line store after this tick, as "Clear Data" does.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/acquisition.h"
#include "device/clock.h"
#include "device/console_protocol.h"
#include "tests/common/recording_status.h"
#include "tests/common/screen_doubles.h"

namespace tessun {
namespace {

struct Event {
  enum class Kind { kReport, kTimeout, kFailure } kind = Kind::kReport;
  std::vector<std::uint8_t> report;
  bool clear_after = false;
};

// A device port with one console whose reads deliver the events of the fuzz input in turn; once
// they are used up, every read times out.
class FuzzPort final : public DevicePort {
 public:
  FuzzPort(int report_length, std::deque<Event> events)
      : report_length_(report_length), events_(std::move(events)) {}

  PortResult<std::vector<std::string>> ListHidInterfaces() override {
    return {{"fuzz:console"}, {}};
  }
  PortResult<PortHandle> Open(const std::string&, OpenMode) override {
    return {next_handle_++, {}};
  }
  PortError Close(PortHandle) override { return {}; }
  PortResult<HidAttributes> GetAttributes(PortHandle) override {
    return {{console::kVendorId, console::kProductId, 0x0100}, {}};
  }
  PortError SetNumInputBuffers(PortHandle, int) override { return {}; }
  PortResult<std::optional<int>> OutputReportLength(PortHandle) override { return Length(); }
  PortResult<std::optional<int>> InputReportLength(PortHandle) override { return Length(); }
  PortError SetFeature(PortHandle, std::span<const std::uint8_t>) override { return {}; }
  PortError WriteReport(PortHandle, std::span<const std::uint8_t>) override { return {}; }
  void CancelRead(PortHandle) override {}
  std::optional<DroppedReports> DroppedInputReports(PortHandle) override { return std::nullopt; }

  ReadResult ReadReport(PortHandle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds) override {
    if (events_.empty()) {
      return ReadResult::TimedOut();
    }
    const Event event = std::move(events_.front());
    events_.pop_front();
    clear_pending_ = clear_pending_ || event.clear_after;
    switch (event.kind) {
      case Event::Kind::kTimeout:
        return ReadResult::TimedOut();
      case Event::Kind::kFailure:
        return ReadResult::Failed(PortError::Of("read", "fuzz:console", "wait failed"));
      case Event::Kind::kReport:
        break;
    }
    // A report longer than the buffer is cut to it, as the platform's driver does.
    const std::size_t delivered = std::min(event.report.size(), buffer.size());
    std::copy_n(event.report.begin(), delivered, buffer.begin());
    // What the reader must store: as many data bytes as the count's low bits say, but only
    // those the delivered report holds; nothing when the count byte is 0 or missing.
    using console::kCountByte;
    using console::kFirstDataByte;
    if (delivered > kCountByte && event.report[kCountByte] != 0) {
      const std::size_t count = std::min<std::size_t>(
          event.report[kCountByte] & console::kCountMask, delivered - kFirstDataByte);
      const auto first = event.report.begin() + static_cast<std::ptrdiff_t>(kFirstDataByte);
      expected_.insert(expected_.end(), first, first + static_cast<std::ptrdiff_t>(count));
    }
    return ReadResult::Completed(delivered);
  }

  bool Exhausted() const { return events_.empty(); }
  bool TakeClear() { return std::exchange(clear_pending_, false); }
  const std::string& Expected() const { return expected_; }

 private:
  // The announced length; 0 is none.
  PortResult<std::optional<int>> Length() const {
    return {report_length_ > 0 ? std::optional<int>(report_length_) : std::nullopt, {}};
  }

  int report_length_;
  std::deque<Event> events_;
  PortHandle next_handle_ = 1;
  bool clear_pending_ = false;
  std::string expected_;
};

std::deque<Event> ParseEvents(std::span<const std::uint8_t> data) {
  std::deque<Event> events;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::uint8_t control = data[at++];
    Event event;
    event.clear_after = (control & 0x40) != 0;
    switch (control & 7) {
      case 6:
        event.kind = Event::Kind::kTimeout;
        break;
      case 7:
        event.kind = Event::Kind::kFailure;
        break;
      default: {
        const std::size_t length = at < data.size() ? data[at++] : 0;
        const std::size_t take = std::min(length, data.size() - at);
        event.report.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                            data.begin() + static_cast<std::ptrdiff_t>(at + take));
        at += take;
        break;
      }
    }
    events.push_back(std::move(event));
  }
  return events;
}

// The text kept by the store for `bytes`: line feeds and 32..122 (0 is never consumed).
std::string Kept(const std::string& bytes) {
  std::string kept;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '\n' || (b >= 32 && b <= 122)) {
      kept.push_back(c);
    }
  }
  return kept;
}

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Takes the store's lines out (joined by line feeds) and empties it.
void Drain(LineStore& store, std::string& received) {
  for (int i = 0; i <= store.LineIndex; ++i) {
    const std::string& line = store.Lines[static_cast<std::size_t>(i)];
    Check(std::all_of(line.begin(), line.end(), [](char c) {
      return static_cast<unsigned char>(c) >= 32 && static_cast<unsigned char>(c) <= 122;
    }));
    received += line;
    if (i < store.LineIndex) {
      received += '\n';
    }
  }
  store.EmptyLines();
}

}  // namespace
}  // namespace tessun

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessun;
  if (size == 0) {
    return 0;
  }
  FuzzPort port(data[0], ParseEvents({data + 1, size - 1}));
  ManualClock clock;
  test::RecordingTimer timer;
  test::RecordingStatus status;
  test::RecordingCanvas canvas;
  test::FakeScrollBar bar;
  Acquisition core(port, clock, timer, status, canvas, bar);
  LineStore& store = core.Store();
  DeviceLink& link = core.Link();
  link.DeviceFound = link.OpenUsbDevice();
  // A console whose reports cannot carry a data byte is not taken into use.
  Check(link.DeviceFound == (data[0] > console::kFirstDataByte));
  if (!link.DeviceFound) {
    Check(port.Expected().empty() && store.RingHead == 0);
    return 0;
  }

  std::string received;
  // Every tick takes at least one event, so this ends.
  while (!port.Exhausted()) {
    core.Tick();
    Check(std::all_of(store.RingBuffer.begin(), store.RingBuffer.end(),
                      [](std::uint8_t b) { return b == 0; }));
    Check(store.LineIndex >= 0 && store.LineIndex <= LineStore::kLastLine);
    // One tick holds at most 280 line feeds: draining at 700 keeps every line feed a line break.
    if (port.TakeClear() || store.LineIndex >= 700) {
      Drain(store, received);
    }
  }
  Drain(store, received);
  Check(received == Kept(port.Expected()));
  return 0;
}
