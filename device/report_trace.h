// The report trace: every input report the device link takes and every output report it sends,
// with their times and what the link did around them (searches, opens, the configuration report,
// reads that timed out or failed, closes), as lines of text that a person can read and a script
// can parse (the format is described in the README, "Report trace"). `tessun --trace=FILE` writes
// one (device/tracing_port.h); `tessun --simulate=TRACE` replays one
// (device/simulated/trace_replay.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessun {

// The first line of every trace; a file that starts with kTraceHeaderStart is taken for a trace.
inline constexpr std::string_view kTraceHeaderStart = "tessun report trace ";
inline constexpr std::string_view kTraceHeader = "tessun report trace 1";
// A trace never grows past this size.
inline constexpr std::uint64_t kMaxTraceBytes = 64 * 1024 * 1024;

enum class TraceKind { kSearch, kOpen, kFeature, kTick, kIn, kTimeout, kFail, kOut, kClose };

struct TraceRecord {
  std::int64_t time = 0;  // microseconds since the start of the run
  TraceKind kind = TraceKind::kSearch;
  // Where its bytes (in, out, feature) or its text (fail) lie in ReportTrace::data.
  std::uint32_t first = 0;
  std::uint32_t size = 0;
  int output_length = 0;  // open: the report lengths, with the report-id byte
  int input_length = 0;
};

struct ReportTrace {
  std::vector<TraceRecord> records;
  std::vector<std::uint8_t> data;

  std::span<const std::uint8_t> Bytes(const TraceRecord& record) const {
    return std::span(data).subspan(record.first, record.size);
  }
};

struct TraceParse {
  std::optional<ReportTrace> trace;  // none when the text is no valid trace
  std::size_t line = 0;              // the line at fault, counted from 1
  std::string error;                 // what is wrong with it
};

// A record's name in the trace ("tick", "in" ...).
std::string_view TraceKindName(TraceKind kind);

// Bytes as the trace writes them: two lower-case hex digits each, one blank between them.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// Reads a whole trace; the first fault found refuses it.
TraceParse ParseReportTrace(std::string_view text);

}  // namespace tessun
