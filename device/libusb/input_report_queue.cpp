#include "device/libusb/input_report_queue.h"

#include <algorithm>

#include "device/console_protocol.h"

namespace tessun {

bool InputReportQueue::SetCapacity(std::size_t capacity) {
  if (capacity < kMinCapacity || capacity > kMaxCapacity) {
    return false;
  }
  const std::lock_guard lock(mutex_);
  capacity_ = capacity;
  while (reports_.size() > capacity_) {
    DropOldest();
  }
  return true;
}

std::size_t InputReportQueue::Capacity() const {
  const std::lock_guard lock(mutex_);
  return capacity_;
}

std::size_t InputReportQueue::Size() const {
  const std::lock_guard lock(mutex_);
  return reports_.size();
}

void InputReportQueue::Push(std::vector<std::uint8_t> report) {
  if (report.empty()) {
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    if (reports_.size() >= capacity_) {
      DropOldest();
    }
    reports_.push_back(std::move(report));
  }
  changed_.notify_all();
}

void InputReportQueue::DropOldest() {
  ++dropped_.all;
  if (!console::DataBytes(reports_.front()).empty()) {
    ++dropped_.with_data;
  }
  reports_.pop_front();
}

DroppedReports InputReportQueue::Dropped() const {
  const std::lock_guard lock(mutex_);
  return dropped_;
}

void InputReportQueue::Fail() {
  {
    const std::lock_guard lock(mutex_);
    failed_ = true;
  }
  changed_.notify_all();
}

bool InputReportQueue::Failed() const {
  const std::lock_guard lock(mutex_);
  return failed_;
}

ReadResult InputReportQueue::Pop(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout,
                                 const std::atomic<bool>& abandoned) {
  std::unique_lock lock(mutex_);
  const bool ready = changed_.wait_for(
      lock, timeout, [&] { return abandoned.load() || !reports_.empty() || failed_; });
  if (abandoned.load()) {
    return ReadResult::Failed({});
  }
  if (!reports_.empty()) {
    const std::vector<std::uint8_t>& report = reports_.front();
    const std::size_t bytes = std::min(report.size(), buffer.size());
    std::copy_n(report.begin(), bytes, buffer.begin());
    reports_.pop_front();
    return ReadResult::Completed(bytes);
  }
  if (ready) {
    return ReadResult::Failed({});  // failed and nothing left
  }
  return ReadResult::TimedOut();
}

void InputReportQueue::WakeAll() {
  // Taking the lock orders this after any Pop that is copying right now.
  { const std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

}  // namespace tessun
