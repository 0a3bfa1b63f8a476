#include "store/line_store.h"

namespace tessun {

namespace {

constexpr std::uint8_t kLineFeed = 10;
constexpr std::uint8_t kFirstKept = 32;  // space
constexpr std::uint8_t kLastKept = 122;  // 'z'; "{", "|", "}", "~" and above are dropped

}  // namespace

void LineStore::StoreByte(std::uint8_t byte) {
  RingHead = static_cast<std::int16_t>((RingHead + 1) & kRingMask);
  RingBuffer[RingHead] = byte;
}

void LineStore::AssembleLines() {
  int p = (RingHead + kScanOffset) & kRingMask;
  for (int visited = 0; visited < kRingSize; ++visited, p = (p + 1) & kRingMask) {
    const std::uint8_t b = RingBuffer[p];
    if (b == 0) {
      continue;
    }
    NewData = 1;
    if (b >= kFirstKept && b <= kLastKept) {
      Lines[LineIndex].push_back(static_cast<char>(b));
    } else if (b == kLineFeed && LineIndex < kLastLine) {
      ++LineIndex;
    }
    RingBuffer[p] = 0;
  }
}

bool LineStore::TakeNewData() {
  const bool consumed = NewData > 0;
  NewData = 0;
  return consumed;
}

void LineStore::EmptyLines() {
  for (auto& line : Lines) {
    line.clear();
  }
  LineIndex = 0;
}

}  // namespace tessun
