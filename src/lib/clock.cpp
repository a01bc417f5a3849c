#include "lib/clock.h"

#include <time.h>

#include <cstdio>
#include <string>

#include "table/fatal_failure.h"

namespace galtro {

ClockReading SystemClock::read() const noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec)};
}

const SystemClock& SystemClock::instance() noexcept {
  static const SystemClock clock;
  return clock;
}

namespace {

[[noreturn]] void fail_before_epoch(ClockReading reading) {
  // The reading is `seconds` + `nanoseconds`/1e9 with `seconds` < 0; say how far
  // before the epoch that is, exactly. The magnitude is unsigned so that the most
  // negative reading has one too.
  std::uint64_t whole = 0 - static_cast<std::uint64_t>(reading.seconds);
  std::int64_t nanos = 0;
  if (reading.nanoseconds != 0) {
    whole -= 1;
    nanos = 1'000'000'000 - reading.nanoseconds;
  }
  char description[96];
  std::snprintf(description, sizeof description, "%llu.%09llds before the epoch",
                static_cast<unsigned long long>(whole), static_cast<long long>(nanos));
  fatal(std::string("system clock before unix epoch: the clock reads ") + description);
}

}  // namespace

std::uint64_t now_seconds(const Clock& clock) {
  const ClockReading reading = clock.read();
  if (reading.seconds < 0) fail_before_epoch(reading);
  return static_cast<std::uint64_t>(reading.seconds);
}

}  // namespace galtro
