#include "core/acquisition.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace tessun {

Acquisition::Acquisition(DevicePort& port, Clock& clock, TickTimer& timer, StatusSink& status,
                         TextCanvas& canvas, ScrollBar& bar)
    : clock_(clock),
      timer_(timer),
      canvas_(canvas),
      view_(store_, canvas, bar),
      link_(port, status, &clock) {}

void Acquisition::StartUp() {
  timer_.SetInterval(kTickInterval);
  timer_.Disable();
  link_.DeviceFound = link_.OpenUsbDevice();
  timer_.Enable();
  // The clock is monotonic, so a wait across midnight still ends on time.
  clock_.WaitFor(kStartupWait);
  store_.EmptyLines();
  canvas_.Cls();
}

// One tick's bytes are taken by AssembleLines in the order they came.
static_assert(DeviceLink::kMostBytesPerCall <= LineStore::kMostBytesPerPass);

void Acquisition::Tick() {
  const std::span<const std::uint8_t> bytes = link_.ReadReports();
  if (capture_ != nullptr) {
    capture_->TickEnded(bytes);
  }
  if (PendingRestore()) {
    held_.insert(held_.end(), bytes.begin(), bytes.end());
  } else {
    Feed(bytes);
  }
}

void Acquisition::Feed(std::span<const std::uint8_t> bytes) {
  Assemble(bytes);
  if (store_.TakeNewData()) {
    view_.RefreshDataView();
  }
}

void Acquisition::Assemble(std::span<const std::uint8_t> bytes) {
  std::size_t at = 0;
  do {
    const auto piece =
        bytes.subspan(at, std::min(DeviceLink::kMostBytesPerCall, bytes.size() - at));
    for (const std::uint8_t byte : piece) {
      store_.StoreByte(byte);
    }
    store_.AssembleLines();
    at += piece.size();
  } while (at < bytes.size());
}

void Acquisition::AnswerRestore(bool restore) {
  if (!PendingRestore()) {
    return;
  }
  if (restore) {
    capture_->ReadUnsaved([this](std::span<const std::uint8_t> piece) { Assemble(piece); });
  }
  capture_->RestoreAnswered(restore);
  Feed(std::exchange(held_, {}));
}

void Acquisition::FileWritten() {
  if (capture_ != nullptr) {
    capture_->FileWritten();
  }
}

void Acquisition::GetData() {
  timer_.Disable();
  struct EnableAgain {
    TickTimer& timer;
    ~EnableAgain() { timer.Enable(); }
  } enable_again{timer_};
  clock_.WaitFor(kGetDataWait);
  link_.SendCommand(kGetDataCommand);
}

void Acquisition::ClearData() {
  store_.EmptyLines();
  canvas_.Cls();
  if (capture_ != nullptr) {
    capture_->DataCleared();
  }
}

void Acquisition::ScrollChanged() {
  view_.VScroll1_Change();
}

void Acquisition::CloseDevice() {
  link_.CloseDevice();
}

}  // namespace tessun
