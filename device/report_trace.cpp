#include "device/report_trace.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <system_error>

#include "device/device_link.h"

namespace tessun {

namespace {

constexpr std::array<std::string_view, 9> kKindNames = {"search",  "open", "feature", "tick", "in",
                                                        "timeout", "fail", "out",     "close"};

// A whole decimal number of at most 18 digits; nothing else.
std::optional<std::int64_t> Number(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text.size() > 18 || text[0] == '-' || error != std::errc() ||
      end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// Parses the arguments of one record into `record` (and its bytes into `trace.data`); returns
// what is wrong with them, "" when nothing is.
std::string ParseArguments(std::string_view arguments, TraceRecord& record, ReportTrace& trace) {
  record.first = static_cast<std::uint32_t>(trace.data.size());
  switch (record.kind) {
    case TraceKind::kIn:
    case TraceKind::kOut:
    case TraceKind::kFeature:
      // "hh hh ... hh": two hex digits a byte, one blank between bytes.
      if (arguments.size() % 3 != 2) {
        return "expects report bytes as two hex digits each, one blank between them";
      }
      for (std::size_t at = 0; at < arguments.size(); at += 3) {
        std::uint8_t byte = 0;
        const char* end = arguments.data() + at + 2;
        if (std::from_chars(arguments.data() + at, end, byte, 16).ptr != end ||
            (at + 2 < arguments.size() && arguments[at + 2] != ' ')) {
          return "expects report bytes as two hex digits each, one blank between them";
        }
        trace.data.push_back(byte);
      }
      break;
    case TraceKind::kOpen: {
      const std::size_t blank = arguments.find(' ');
      const auto output = Number(arguments.substr(0, blank));
      const auto input =
          blank == std::string_view::npos ? std::nullopt : Number(arguments.substr(blank + 1));
      if (!output || !input || *output > 0xFFFF || *input > 0xFFFF) {
        return "expects the output and the input report length";
      }
      record.output_length = static_cast<int>(*output);
      record.input_length = static_cast<int>(*input);
      break;
    }
    case TraceKind::kFail:
      trace.data.insert(trace.data.end(), arguments.begin(), arguments.end());
      break;
    default:
      if (!arguments.empty()) {
        return "expects nothing after \"" + std::string(TraceKindName(record.kind)) + "\"";
      }
  }
  record.size = static_cast<std::uint32_t>(trace.data.size() - record.first);
  return "";
}

}  // namespace

std::string_view TraceKindName(TraceKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : bytes) {
    text += text.empty() ? "" : " ";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

TraceParse ParseReportTrace(std::string_view text) {
  TraceParse parse;
  ReportTrace trace;
  std::int64_t last_time = 0;
  int reports_in_tick = -1;  // -1: not in a tick's reads
  const auto fail = [&parse](std::string why) {
    parse.error = std::move(why);
    return parse;
  };
  while (!text.empty()) {
    ++parse.line;
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      return fail("cut short: the line has no end");
    }
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    if (parse.line == 1) {
      if (line != kTraceHeader) {
        return fail("not a trace of version 1 (\"" + std::string(kTraceHeader) + "\")");
      }
      continue;
    }
    if (line.starts_with('#')) {
      continue;
    }
    const std::size_t blank = line.find(' ');
    const auto time = Number(line.substr(0, blank));
    if (!time || blank == std::string_view::npos) {
      return fail("expects a time in microseconds and a record");
    }
    if (*time < last_time) {
      return fail("the time goes back");
    }
    const std::string_view rest = line.substr(blank + 1);
    const std::string_view name = rest.substr(0, rest.find(' '));
    TraceRecord record{.time = *time};
    const auto kind = std::find(kKindNames.begin(), kKindNames.end(), name);
    if (kind == kKindNames.end()) {
      return fail("unknown record \"" + std::string(name) + "\"");
    }
    record.kind = static_cast<TraceKind>(kind - kKindNames.begin());
    const std::string_view arguments =
        name.size() < rest.size() ? rest.substr(name.size() + 1) : std::string_view();
    if (std::string why = ParseArguments(arguments, record, trace); !why.empty()) {
      return fail(std::move(why));
    }
    // The reads' records belong to a tick, and a tick takes at most 40 reports.
    const bool read = record.kind == TraceKind::kIn || record.kind == TraceKind::kTimeout ||
                      record.kind == TraceKind::kFail;
    if (read &&
        (reports_in_tick < 0 || (record.kind == TraceKind::kTimeout && reports_in_tick > 0))) {
      return fail(std::string("\"").append(name).append("\" outside a tick's reads"));
    }
    if (record.kind == TraceKind::kIn && ++reports_in_tick > DeviceLink::kReportsPerCall) {
      return fail("more than 40 input reports in one tick");
    }
    reports_in_tick = record.kind == TraceKind::kTick ? 0
                      : record.kind == TraceKind::kIn ? reports_in_tick
                                                      : -1;
    last_time = *time;
    trace.records.push_back(record);
  }
  if (parse.line == 0) {
    parse.line = 1;
    return fail("empty");
  }
  parse.trace = std::move(trace);
  return parse;
}

}  // namespace tessun
