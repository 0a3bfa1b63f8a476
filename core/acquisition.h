// The acquisition core: everything the main window does apart from drawing itself. It owns the
// line store, the data view's logic and the device link, and offers the window's operations:
// start-up, the 100 ms tick, "Get Data", "Clear Data", the scroll bar's change and closing the
// device. It reaches the screen only through the status sink, the text canvas and the scroll bar,
// and times its waits with an injected clock, so it runs (and is tested) without a window.
//
// Every call runs on the caller's thread and returns when its work is done; none of them yields
// to an event loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/capture_log.h"
#include "core/tick_timer.h"
#include "device/clock.h"
#include "device/device_link.h"
#include "device/device_port.h"
#include "device/status_sink.h"
#include "store/data_view.h"
#include "store/line_store.h"

namespace tessun {

class Acquisition {
 public:
  static constexpr std::chrono::milliseconds kTickInterval{100};
  static constexpr std::chrono::milliseconds kStartupWait{500};
  static constexpr std::chrono::milliseconds kGetDataWait{100};

  // The device is reached through `port`; `clock` times the start-up and "Get Data" waits;
  // `timer` is the window's tick timer; the status, canvas and scroll bar are the window's.
  Acquisition(DevicePort& port, Clock& clock, TickTimer& timer, StatusSink& status,
              TextCanvas& canvas, ScrollBar& bar);
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

  // Start-up, in this order: tick interval 100 ms, timer off, open the device, timer on, wait
  // 0.5 s (blocking: no tick and no repaint meanwhile), empty the store, clear the view. ViewLast
  // is 0 from the view's creation: start-up comes before anything can move it.
  void StartUp();
  // One tick: read the reports the console has ready, hand their data bytes to the capture log
  // and Feed them (or, while the restore question is open, hold them until it is answered).
  void Tick();
  // "Get Data": timer off, wait 0.1 s, send the console command 141, timer on again (also when
  // sending fails with an error, so acquisition never stops unnoticed).
  void GetData();
  // "Clear Data": all lines empty, LineIndex 0, the view blank. The ring, ViewLast and the scroll
  // bar are left alone.
  void ClearData();
  // The scroll bar moved: show the lines ending at its value.
  void ScrollChanged();
  // "Exit" and closing the window: both device handles closed.
  void CloseDevice();

  // The capture log that gets every byte fed into the receive ring, at the end of each tick;
  // none (the default) for tests and fuzzing. Not owned.
  void SetCaptureLog(CaptureLog* log) { capture_ = log; }
  // The previous run ended with lines never written to a file, and the operator has not yet
  // answered the question about them. Ticks go on meanwhile: their bytes are captured and held.
  std::optional<UnsavedCapture> PendingRestore() const {
    return capture_ != nullptr ? capture_->Unsaved() : std::nullopt;
  }
  // The operator's answer. Yes: the previous run's unwritten bytes are fed as its ticks took
  // them, then the bytes held meanwhile. No: only the bytes held meanwhile. Without an answer
  // (the program ends while the question is open) nothing is called: the next start asks again.
  void AnswerRestore(bool restore);
  // The save window wrote a data file of the store.
  void FileWritten();

  const LineStore& Store() const { return store_; }
  LineStore& Store() { return store_; }
  const DataView& View() const { return view_; }
  DataView& View() { return view_; }
  const DeviceLink& Link() const { return link_; }
  DeviceLink& Link() { return link_; }

 private:
  // Bytes the console sent (one tick's, or a restored run's) go through the receive ring and
  // AssembleLines in pieces of at most one tick's bytes; then, if a byte was consumed, the view
  // is refreshed (once).
  void Feed(std::span<const std::uint8_t> bytes);
  void Assemble(std::span<const std::uint8_t> bytes);

  Clock& clock_;
  TickTimer& timer_;
  TextCanvas& canvas_;
  LineStore store_;
  DataView view_;
  DeviceLink link_;
  CaptureLog* capture_ = nullptr;
  // What the ticks read while the restore question is open.
  std::vector<std::uint8_t> held_;
};

}  // namespace tessun
