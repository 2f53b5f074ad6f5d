#pragma once

// A clock that keeps counting while the machine sleeps, and a timer on it. The pairing window
// must end when its time is up in the user's world: on the monotonic clock (Asio's steady
// timer) a code shown as expired before a suspend would still be usable after the resume.

#include <time.h>

#include <asio/basic_waitable_timer.hpp>

#include <algorithm>
#include <chrono>

namespace kestrel {

// CLOCK_BOOTTIME: monotonic, and it includes time spent suspended.
struct ContinuousClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<ContinuousClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept {
        timespec now{};
        ::clock_gettime(CLOCK_BOOTTIME, &now);
        return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
    }
};

// Asio's reactor sleeps on the monotonic clock, which stops during suspend, so a long wait
// would end late by the time the machine slept. Waiting at most a second at a time makes the
// timer look at the continuous clock again within a second of a resume.
struct ContinuousWaitTraits {
    static constexpr std::chrono::seconds longestWait{1};

    static ContinuousClock::duration to_wait_duration(const ContinuousClock::duration& d) {
        return std::min<ContinuousClock::duration>(d, longestWait);
    }
    static ContinuousClock::duration to_wait_duration(const ContinuousClock::time_point& t) {
        return to_wait_duration(t - ContinuousClock::now());
    }
};

using ContinuousTimer = asio::basic_waitable_timer<ContinuousClock, ContinuousWaitTraits>;

}  // namespace kestrel
