#include "device/simulated/demo_printout.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace tessun {

namespace {

constexpr std::array<const char*, 5> kEvents = {
    "Event  1  Girls 100 Freestyle", "Event  2  Boys 100 Freestyle",
    "Event  3  Girls 50 Backstroke", "Event  4  Boys 200 Individual Medley",
    "Event  5  Mixed 4x50 Medley Relay"};
constexpr std::array<int, 5> kBaseHundredths = {6450, 5980, 3490, 14520, 13050};
constexpr std::array<const char*, 8> kTeams = {"NORTH", "SOUTH", "EAST",  "WEST",
                                               "HARBR", "RIVER", "LAKES", "HILLS"};
constexpr int kLanes = 8;
constexpr int kHeats = 2;

// A small fixed pseudo-random sequence, so the demo prints the same results every time.
class Sequence {
 public:
  int Next(int range) {
    state_ = state_ * 1103515245u + 12345u;
    return static_cast<int>((state_ >> 16) % static_cast<unsigned>(range));
  }

 private:
  unsigned state_ = 20261208u;
};

std::string Time(int hundredths) {
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d.%02d", hundredths / 6000, hundredths / 100 % 60,
                hundredths % 100);
  return text;
}

std::string ResultLine(int place, int lane, const char* team, int hundredths) {
  char text[64];
  std::snprintf(text, sizeof text, "  %d   Lane %d   %-6s  %9s", place, lane, team,
                Time(hundredths).c_str());
  return text;
}

// One heat's results, best time first: place, lane, team and time.
std::vector<std::string> Heat(Sequence& sequence, int base) {
  std::vector<std::pair<int, int>> times;  // hundredths, lane
  for (int lane = 1; lane <= kLanes; ++lane) {
    times.emplace_back(base + sequence.Next(base / 8), lane);
  }
  std::sort(times.begin(), times.end());
  std::vector<std::string> lines;
  for (int place = 0; place < kLanes; ++place) {
    const auto [hundredths, lane] = times[place];
    lines.push_back(ResultLine(place + 1, lane, kTeams[lane - 1], hundredths));
  }
  return lines;
}

}  // namespace

std::string DemoPrintout() {
  Sequence sequence;
  std::string text = "TIMING CONSOLE  RESULTS PRINTOUT\r\n\r\n";
  for (std::size_t event = 0; event < kEvents.size(); ++event) {
    for (int heat = 1; heat <= kHeats; ++heat) {
      char title[80];
      std::snprintf(title, sizeof title, "%s   Heat %d of %d\r\n", kEvents[event], heat, kHeats);
      text += title;
      text += "Place Lane     Team        Time\r\n";
      for (const auto& line : Heat(sequence, kBaseHundredths[event])) {
        text += line + "\r\n";
      }
      text += "\r\n";
    }
  }
  text += "END OF DATA\r\n";
  return text;
}

std::vector<std::string> DemoLiveLines() {
  Sequence sequence;
  std::vector<std::string> lines = {"Event  6  Girls 50 Butterfly   Heat 1 of 1\r\n"};
  for (const auto& line : Heat(sequence, 3320)) {
    lines.push_back(line + "\r\n");
  }
  lines.push_back("\r\n");
  return lines;
}

}  // namespace tessun
