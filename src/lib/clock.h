// The clock seam: every time stamp of the core is read through a Clock.
//
// Production uses SystemClock (the operating system's real-time clock). Tests drive a
// ManualClock, which can be set anywhere, before 1970 included, and stepped backwards.
#pragma once

#include <atomic>
#include <cstdint>

namespace galtro {

// A reading of a real-time clock: seconds since the Unix epoch (negative before it)
// and the nanoseconds within that second, 0 <= nanoseconds < 1e9.
struct ClockReading {
  std::int64_t seconds;
  std::int64_t nanoseconds;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual ClockReading read() const noexcept = 0;
};

class SystemClock final : public Clock {
 public:
  ClockReading read() const noexcept override;
  // The one instance that states use unless told otherwise.
  static const SystemClock& instance() noexcept;
};

// A clock that only moves when told. Thread-safe.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::int64_t seconds = 1'700'000'000, std::int64_t nanoseconds = 0) noexcept
      : seconds_(seconds), nanoseconds_(nanoseconds) {}
  ClockReading read() const noexcept override {
    return {seconds_.load(std::memory_order_relaxed), nanoseconds_.load(std::memory_order_relaxed)};
  }
  void set(std::int64_t seconds, std::int64_t nanoseconds = 0) noexcept {
    seconds_.store(seconds, std::memory_order_relaxed);
    nanoseconds_.store(nanoseconds, std::memory_order_relaxed);
  }
  void advance(std::int64_t seconds) noexcept {
    seconds_.fetch_add(seconds, std::memory_order_relaxed);
  }

 private:
  std::atomic<std::int64_t> seconds_;
  std::atomic<std::int64_t> nanoseconds_;
};

// Whole seconds since the Unix epoch, the fraction dropped. A reading before the epoch
// is a fatal internal failure "system clock before unix epoch: ..." saying how far before.
std::uint64_t now_seconds(const Clock& clock);

}  // namespace galtro
