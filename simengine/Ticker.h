// The due times of a periodic producer, by absolute time: tick n is due at start + n / rate
// seconds, so rounding never drifts. A producer that falls behind skips the ticks it can no
// longer make instead of catching up in a burst. Owned by one producer on one thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace velto {
namespace sim {

class Ticker {
  public:
    using Clock = std::chrono::steady_clock;

    Ticker(Clock::time_point start, int ticksPerSecond) : start_(start), rate_(ticksPerSecond) {}

    std::uint64_t index() const { return index_; }
    int rate() const { return rate_; }
    Clock::time_point due() const { return dueOf(index_); }

    // Moves to the next tick. A tick whose successor is already due is a whole period late and is
    // skipped; returns how many were.
    std::uint64_t advance(Clock::time_point now) {
        ++index_;
        std::uint64_t skipped = 0;
        while (dueOf(index_ + 1) <= now) {
            ++index_;
            ++skipped;
        }
        return skipped;
    }

    // Moves to the next tick, one period of the new rate after `now`; the index keeps counting.
    void changeRate(Clock::time_point now, int ticksPerSecond) {
        start_ = now;
        base_ = index_;
        rate_ = ticksPerSecond;
        ++index_;
    }

  private:
    Clock::time_point dueOf(std::uint64_t n) const {
        const std::uint64_t since = n - base_;
        return start_ + std::chrono::nanoseconds(static_cast<std::int64_t>(
                            since * 1000000000ull / static_cast<std::uint64_t>(rate_)));
    }

    Clock::time_point start_;
    int rate_;
    std::uint64_t index_ = 0;
    std::uint64_t base_ = 0;  // the index due at start_
};

}  // namespace sim
}  // namespace velto
