#include "core/acquisition.h"

#include <algorithm>
#include <array>

namespace tessun {

Acquisition::Acquisition(DevicePort& port, Clock& clock, TickTimer& timer, StatusSink& status,
                         TextCanvas& canvas, ScrollBar& bar)
    : clock_(clock),
      Timer1_(timer),
      Picture1_(canvas),
      view_(store_, canvas, bar),
      link_(port, store_, status, &clock) {}

void Acquisition::StartUp() {
  Timer1_.SetInterval(kTickInterval);
  Timer1_.Disable();
  link_.DeviceFound = link_.OpenUsbDevice();
  view_.ViewLast = 0;
  Timer1_.Enable();
  // The clock is monotonic, so a wait across midnight still ends on time.
  clock_.WaitFor(kStartupWait);
  store_.EmptyLines();
  Picture1_.Cls();
}

namespace {

// The most bytes one tick can store: 40 reports of at most 7 data bytes, well under the ring's
// 512 slots, so the slots after the head of the tick before are exactly the bytes of this tick.
constexpr std::size_t kMaxTickBytes =
    static_cast<std::size_t>(DeviceLink::kReportsPerCall) * console::kCountMask;
static_assert(kMaxTickBytes < LineStore::kRingSize);

}  // namespace

void Acquisition::Tick() {
  if (RestorePending()) {
    return;
  }
  store_.NewData = 0;
  const int head = store_.RingHead;
  link_.ReadReports();
  // The bytes of this tick, as stored (zero bytes too), taken before AssembleLines empties
  // their slots.
  std::array<std::uint8_t, LineStore::kRingSize> taken;
  const auto count = static_cast<std::size_t>((store_.RingHead - head) & LineStore::kRingMask);
  if (capture_ != nullptr) {
    for (std::size_t i = 0; i < count; ++i) {
      taken[i] = store_.RingBuffer[(head + 1 + i) & LineStore::kRingMask];
    }
  }
  store_.AssembleLines();
  if (store_.NewData > 0) {
    view_.RefreshDataView();
    store_.NewData = 0;
  }
  if (capture_ != nullptr) {
    capture_->TickEnded(std::span(taken).first(count));
  }
}

void Acquisition::AnswerRestore(bool restore) {
  if (!RestorePending()) {
    return;
  }
  if (restore) {
    const std::vector<std::uint8_t> bytes = *capture_->Unsaved();
    store_.NewData = 0;
    for (std::size_t at = 0; at < bytes.size(); at += kMaxTickBytes) {
      const auto piece = std::span(bytes).subspan(at, std::min(kMaxTickBytes, bytes.size() - at));
      for (const std::uint8_t byte : piece) {
        store_.StoreByte(byte);
      }
      store_.AssembleLines();
      capture_->TickEnded(piece);
    }
    if (store_.NewData > 0) {
      view_.RefreshDataView();
      store_.NewData = 0;
    }
  }
  capture_->RestoreAnswered();
}

void Acquisition::FileWritten() {
  if (capture_ != nullptr) {
    capture_->FileWritten();
  }
}

void Acquisition::GetData() {
  Timer1_.Disable();
  struct EnableAgain {
    TickTimer& timer;
    ~EnableAgain() { timer.Enable(); }
  } enable_again{Timer1_};
  clock_.WaitFor(kGetDataWait);
  link_.SendCommand(kGetDataCommand);
}

void Acquisition::ClearData() {
  store_.EmptyLines();
  Picture1_.Cls();
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
