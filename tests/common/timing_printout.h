// A long, timing-printout-like text for the capture soak and the benchmarks: heat headers,
// result lines, split lines (some very long), rules and blank lines, mostly ended by a line feed
// and some by CR LF, with a few bytes the line store drops (tab, form feed, "{", "|", "}", "~").
// The text is the same on every run and every platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tessun::soak {

// A fixed pseudo-random sequence (64-bit linear congruential, upper bits).
class PrintoutSequence {
 public:
  explicit PrintoutSequence(std::uint64_t seed) : state_(seed) {}
  int Next(int range) {
    state_ = state_ * 6364136223846793005u + 1442695040888963407u;
    return static_cast<int>((state_ >> 33) % static_cast<std::uint64_t>(range));
  }

 private:
  std::uint64_t state_;
};

inline std::string PrintoutTime(int hundredths) {
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d.%02d", hundredths / 6000 % 60, hundredths / 100 % 60,
                hundredths % 100);
  return text;
}

// Exactly `size` bytes of printout (the last line may be cut anywhere).
inline std::string TimingPrintout(std::size_t size, std::uint64_t seed = 2024) {
  static constexpr std::array<std::string_view, 8> kNames = {
      "ANDERSEN, Mia", "BERGER, Tom",  "COSTA, Lea",   "DUBOIS, Jan",
      "EKLUND, Sara",  "FISCHER, Ole", "GARCIA, Ines", "HOLM, Per"};
  static constexpr std::array<std::string_view, 6> kTeams = {"NORTH", "SOUTH", "EAST",
                                                             "WEST",  "RIVER", "LAKES"};
  PrintoutSequence next(seed);
  std::string text;
  text.reserve(size + 4096);
  int event = 1;
  while (text.size() < size) {
    const auto end_line = [&] { text += next.Next(4) == 0 ? "\r\n" : "\n"; };
    char line[160];
    std::snprintf(line, sizeof line, "Event %3d  Heat %d of %d   %s %d Meter", event,
                  1 + next.Next(5), 5, next.Next(2) == 0 ? "Women" : "Men", 50 << next.Next(4));
    text += line;
    end_line();
    text += std::string(56, next.Next(3) == 0 ? '=' : '-');
    end_line();
    for (int lane = 1; lane <= 8; ++lane) {
      const int hundredths = 2500 + next.Next(30000);
      std::snprintf(line, sizeof line, "%2d  %d  %-16s %-6s %9s  %s", 1 + next.Next(8), lane,
                    kNames[static_cast<std::size_t>(next.Next(8))].data(),
                    kTeams[static_cast<std::size_t>(next.Next(6))].data(),
                    PrintoutTime(hundredths).c_str(), PrintoutTime(hundredths - 3).c_str());
      text += line;
      switch (next.Next(24)) {
        case 0:
          text += "\t|DQ|";
          break;
        case 1:
          text += " {~}";
          break;
        default:
          break;
      }
      end_line();
      if (next.Next(6) == 0) {
        // Splits: a long line, now and then a very long one.
        const int splits = next.Next(10) == 0 ? 40 + next.Next(150) : 4 + next.Next(12);
        for (int split = 1; split <= splits; ++split) {
          std::snprintf(line, sizeof line, "%4dm %s  ", split * 25,
                        PrintoutTime(1500 * split + next.Next(400)).c_str());
          text += line;
        }
        end_line();
      }
    }
    text += next.Next(5) == 0 ? "\f\n" : "\n";
    ++event;
  }
  text.resize(size);
  return text;
}

// The text as the line store keeps it: line feeds and the bytes 32..122, nothing else.
inline std::string KeptText(std::string_view printed) {
  std::string kept;
  kept.reserve(printed.size());
  for (const char c : printed) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '\n' || (b >= 32 && b <= 122)) {
      kept.push_back(c);
    }
  }
  return kept;
}

}  // namespace tessun::soak
