// The queue of input reports that stands in for the platform HID driver's input buffers in the
// libusb port, kept free of libusb so that it can be tested without a device.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

#include "device/device_port.h"

namespace tessun {

// Input reports a device sent and nobody has read yet, as a platform HID driver keeps them: up
// to a number of buffers, the oldest report dropped when a new one arrives at a full queue.
// Filled by the port's reader thread, emptied by reads; every member is thread-safe.
class InputReportQueue {
 public:
  // The platform HID driver's number of input buffers until a program asks for another.
  static constexpr std::size_t kDefaultCapacity = 32;
  // The range of buffer counts the platform HID driver accepts.
  static constexpr std::size_t kMinCapacity = 2;
  static constexpr std::size_t kMaxCapacity = 512;

  // False (and no change) for a count outside kMinCapacity..kMaxCapacity. A smaller capacity
  // drops the oldest reports that no longer fit.
  bool SetCapacity(std::size_t capacity);
  std::size_t Capacity() const;
  std::size_t Size() const;

  // Queues one report (report id at index 0); an empty one is ignored. At a full queue the
  // oldest report is dropped and counted.
  void Push(std::vector<std::uint8_t> report);
  // Reports dropped so far because the queue was full (also those a smaller capacity dropped),
  // and those of them that carried the console's data bytes.
  DroppedReports Dropped() const;
  // The device is gone or unusable: reads fail once the reports already queued are taken.
  void Fail();
  bool Failed() const;

  // Takes the oldest report into `buffer` (cut to its size), waiting for one at most `timeout`.
  // Fails at once when the queue is empty and failed, or when `abandoned` is (or becomes) set
  // (the port, which knows the device, says why); a report is only ever copied while `abandoned`
  // is unset, under the queue's lock.
  ReadResult Pop(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout,
                 const std::atomic<bool>& abandoned);
  // Wakes every waiting Pop so that it sees an `abandoned` flag set just before. Once this
  // returns, no Pop that sees the flag set copies anything.
  void WakeAll();

 private:
  // Drops the oldest report and counts it; the lock is held.
  void DropOldest();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::uint8_t>> reports_;
  std::size_t capacity_ = kDefaultCapacity;
  bool failed_ = false;
  DroppedReports dropped_;
};

}  // namespace tessun
