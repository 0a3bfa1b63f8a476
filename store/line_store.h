// The receive ring and the line store: the path from received bytes to text lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessun {

// Placed before every stored line, both on screen and in the data file, so that the two
// always agree. This is the "two spaces" form of a print position step of 2 (not a move to
// column 2, which would be a single space at the start of a line).
inline constexpr std::string_view kLineIndent = "  ";

class LineStore {
 public:
  static constexpr int kRingSize = 512;
  static constexpr int kRingMask = kRingSize - 1;
  static constexpr int kLineCount = 1001;
  static constexpr std::int16_t kLastLine = kLineCount - 1;
  // The scan starts this many slots past the slot written last, so the oldest of the (at most
  // 280) bytes of one tick come first and the bytes are taken in the order they were stored.
  static constexpr int kScanOffset = 20;
  // The most bytes stored between two passes of AssembleLines that it takes in the order they
  // were stored: those in the slots from (RingHead + 20) up to RingHead.
  static constexpr int kMostBytesPerPass = kRingSize - kScanOffset + 1;

  // Receive ring. 0 marks an empty slot; a non-zero slot holds one byte not yet consumed.
  std::array<std::uint8_t, kRingSize> RingBuffer{};
  // Index of the slot written last (0..511).
  std::int16_t RingHead = 0;
  // Line store; every line holds only the characters 32..122.
  std::array<std::string, kLineCount> Lines{};
  // Index of the line being filled (0..1000); lines above it are empty.
  std::int16_t LineIndex = 0;
  // 1 once AssembleLines consumed a byte; the acquisition tick clears it.
  std::int16_t NewData = 0;

  // The writer's step: advance RingHead, then store the byte in the slot it names. The slot is
  // not tested for being occupied.
  void StoreByte(std::uint8_t byte);

  // One full pass over all 512 slots from (RingHead + 20) mod 512: bytes 32..122 are appended to
  // the line being filled, a line feed moves to the next line (never past line 1000), every
  // other byte is dropped, and every consumed slot is zeroed.
  void AssembleLines();

  // Whether AssembleLines consumed a byte since NewData was last cleared; NewData is 0
  // afterwards.
  bool TakeNewData();

  // All 1001 lines empty and LineIndex 0. The ring, RingHead and NewData are left alone.
  void EmptyLines();
};

}  // namespace tessun
