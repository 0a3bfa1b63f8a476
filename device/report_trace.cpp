#include "device/report_trace.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "device/device_link.h"

namespace tessun {

namespace {

constexpr std::array<std::string_view, 9> kKindNames = {"search",  "open", "feature", "tick", "in",
                                                        "timeout", "fail", "out",     "close"};

std::string_view NameOf(TraceKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

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
        return "expects nothing after \"" + std::string(NameOf(record.kind)) + "\"";
      }
  }
  record.size = static_cast<std::uint32_t>(trace.data.size() - record.first);
  return "";
}

}  // namespace

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

TracingPort::TracingPort(DevicePort& inner, Clock& clock, Writer write, std::uint64_t limit)
    : inner_(inner), clock_(clock), start_(clock.Now()), write_(std::move(write)), limit_(limit) {
  pending_ = std::string(kTraceHeader) + "\n";
  Flush();
}

void TracingPort::Record(TraceKind kind, std::string_view arguments) {
  const auto time =
      std::chrono::duration_cast<std::chrono::microseconds>(clock_.Now() - start_).count();
  pending_.append(std::to_string(time)).append(" ").append(NameOf(kind));
  if (!arguments.empty()) {
    pending_.append(" ").append(arguments);
  }
  pending_ += "\n";
  if (kind != TraceKind::kTick && kind != TraceKind::kIn) {
    Flush();
  }
}

void TracingPort::Flush() {
  if (stopped_ || pending_.empty()) {
    pending_.clear();
    return;
  }
  if (written_ + pending_.size() > limit_) {
    // The lines of the tick that would not fit are left out: the trace ends with a whole tick.
    stopped_ = true;
    pending_ =
        "# the trace is full (" + std::to_string(written_) + " bytes): nothing more was recorded\n";
    log_->Write(LogLevel::kWarning, "the report trace is full (" + std::to_string(written_) +
                                        " bytes): nothing more is recorded");
  }
  if (!write_(pending_)) {
    stopped_ = true;
    log_->Write(LogLevel::kWarning, "the report trace cannot be written: nothing more is recorded");
  }
  written_ += pending_.size();
  pending_.clear();
}

PortResult<std::vector<std::string>> TracingPort::ListHidInterfaces() {
  Record(TraceKind::kSearch);
  return inner_.ListHidInterfaces();
}

PortResult<PortHandle> TracingPort::Open(const std::string& path, OpenMode mode) {
  PortResult<PortHandle> opened = inner_.Open(path, mode);
  if (mode == OpenMode::kForReads && !opened.error) {
    read_handles_.insert(opened.value);
    Record(TraceKind::kOpen, std::to_string(output_length_) + " " + std::to_string(input_length_));
  }
  return opened;
}

PortError TracingPort::Close(PortHandle handle) {
  if (read_handles_.erase(handle) != 0) {
    Record(TraceKind::kClose);
  }
  return inner_.Close(handle);
}

PortResult<std::optional<int>> TracingPort::OutputReportLength(PortHandle handle) {
  PortResult<std::optional<int>> length = inner_.OutputReportLength(handle);
  output_length_ = length.value.value_or(0);
  return length;
}

PortResult<std::optional<int>> TracingPort::InputReportLength(PortHandle handle) {
  PortResult<std::optional<int>> length = inner_.InputReportLength(handle);
  input_length_ = length.value.value_or(0);
  return length;
}

PortError TracingPort::SetFeature(PortHandle handle, std::span<const std::uint8_t> report) {
  Record(TraceKind::kFeature, HexBytes(report));
  return inner_.SetFeature(handle, report);
}

PortError TracingPort::WriteReport(PortHandle handle, std::span<const std::uint8_t> report) {
  Record(TraceKind::kOut, HexBytes(report));
  return inner_.WriteReport(handle, report);
}

ReadResult TracingPort::ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout) {
  // The link's first read of a tick is the one that waits.
  const bool first = timeout > std::chrono::milliseconds::zero();
  if (first) {
    Record(TraceKind::kTick);
    reports_in_tick_ = 0;
  }
  ReadResult read = inner_.ReadReport(handle, buffer, timeout);
  switch (read.status) {
    case ReadStatus::kCompleted:
      Record(TraceKind::kIn, HexBytes(buffer.first(std::min(read.bytes, buffer.size()))));
      if (++reports_in_tick_ == DeviceLink::kReportsPerCall) {
        Flush();
      }
      break;
    case ReadStatus::kTimedOut:
      if (first) {
        Record(TraceKind::kTimeout);
      }
      Flush();
      break;
    case ReadStatus::kFailed: {
      std::string why = read.error.text;
      std::replace_if(
          why.begin(), why.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
      Record(TraceKind::kFail, why);
      break;
    }
  }
  return read;
}

TracingPort::Writer TraceFileWriter(const std::string& path, std::string& error) {
  std::error_code code;
  const auto status = std::filesystem::status(path, code);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    error = path + " is not a regular file";
    return nullptr;
  }
  const std::shared_ptr<std::FILE> file(std::fopen(path.c_str(), "wb"), [](std::FILE* open) {
    if (open != nullptr) {
      std::fclose(open);
    }
  });
  if (!file) {
    error = "cannot create " + path;
    return nullptr;
  }
  return [file](std::string_view lines) {
    return std::fwrite(lines.data(), 1, lines.size(), file.get()) == lines.size() &&
           std::fflush(file.get()) == 0;
  };
}

}  // namespace tessun
