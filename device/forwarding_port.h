// A device port that passes every call on to another port. The ports that watch or change what
// goes through (the tracing port, the tests' doubles) derive from it and override those calls.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/device_port.h"

namespace tessun {

class ForwardingPort : public DevicePort {
 public:
  explicit ForwardingPort(DevicePort& inner) : inner_(inner) {}

  PortResult<std::vector<std::string>> ListHidInterfaces() override {
    return inner_.ListHidInterfaces();
  }
  PortResult<PortHandle> Open(const std::string& path, OpenMode mode) override {
    return inner_.Open(path, mode);
  }
  PortError Close(PortHandle handle) override { return inner_.Close(handle); }
  PortResult<HidAttributes> GetAttributes(PortHandle handle) override {
    return inner_.GetAttributes(handle);
  }
  PortError SetNumInputBuffers(PortHandle handle, int count) override {
    return inner_.SetNumInputBuffers(handle, count);
  }
  PortResult<std::optional<int>> OutputReportLength(PortHandle handle) override {
    return inner_.OutputReportLength(handle);
  }
  PortResult<std::optional<int>> InputReportLength(PortHandle handle) override {
    return inner_.InputReportLength(handle);
  }
  PortError SetFeature(PortHandle handle, std::span<const std::uint8_t> report) override {
    return inner_.SetFeature(handle, report);
  }
  PortError WriteReport(PortHandle handle, std::span<const std::uint8_t> report) override {
    return inner_.WriteReport(handle, report);
  }
  ReadResult ReadReport(PortHandle handle, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds timeout) override {
    return inner_.ReadReport(handle, buffer, timeout);
  }
  void CancelRead(PortHandle handle) override { inner_.CancelRead(handle); }
  std::optional<DroppedReports> DroppedInputReports(PortHandle handle) override {
    return inner_.DroppedInputReports(handle);
  }
  PortResult<RawDescriptors> ReadRawDescriptors(PortHandle handle) override {
    return inner_.ReadRawDescriptors(handle);
  }

 private:
  DevicePort& inner_;
};

}  // namespace tessun
