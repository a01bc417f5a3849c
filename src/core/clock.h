// The clock seam: every time stamp of the core is read through a Clock.
//
// Production uses SystemClock (the operating system's real-time clock). Tests drive a
// ManualClock, which can be set anywhere, before 1970 included, and stepped backwards.
#pragma once

#include <time.h>

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

 protected:
  Clock() noexcept = default;
  explicit Clock(bool is_system) noexcept : is_system_(is_system) {}

 private:
  friend std::uint64_t now_seconds(const Clock& clock);
  // Set only for SystemClock, whose reading now_seconds() then makes inline rather than
  // through a virtual call: it is read several times in every operation.
  bool is_system_ = false;
};

class SystemClock final : public Clock {
 public:
  SystemClock() noexcept : Clock(true) {}
  ClockReading read() const noexcept override { return read_now(); }
  static ClockReading read_now() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec)};
  }
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

// The fatal internal failure "system clock before unix epoch: ..." for `reading`, saying
// how far before the epoch it is.
[[noreturn]] void fail_before_epoch(ClockReading reading);

// Whole seconds since the Unix epoch, the fraction dropped. A reading before the epoch
// is fatal (fail_before_epoch).
inline std::uint64_t now_seconds(const Clock& clock) {
  const ClockReading reading = clock.is_system_ ? SystemClock::read_now() : clock.read();
  if (reading.seconds < 0) [[unlikely]] fail_before_epoch(reading);
  return static_cast<std::uint64_t>(reading.seconds);
}

}  // namespace galtro
