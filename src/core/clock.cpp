#include "core/clock.h"

#include <time.h>

#include <cstdio>
#include <string>

#include "base/fatal_failure.h"

namespace galtro {

const SystemClock& SystemClock::instance() noexcept {
  static const SystemClock clock;
  return clock;
}

void fail_before_epoch(ClockReading reading) {
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

}  // namespace galtro
