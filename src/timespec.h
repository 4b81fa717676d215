// Saturating arithmetic on time values whose fields behave as signed 32-bit numbers,
// whatever the width of the platform's time_t. Results stay within 0 s 0 ns and
// 2147483647 s 999999999 ns.
#pragma once

#include <cstdint>
#include <ctime>

// t += d, saturating at 2147483647 s 999999999 ns instead of wrapping.
void timespec_add(timespec *t, timespec d);

// t -= d, floored at 0 s 0 ns.
void timespec_sub(timespec *t, timespec d);

// Stores the two fields as given, without normalising.
void timespec_set(timespec *t, int32_t sec, int32_t nsec);

// -1, 0 or 1 as a is earlier than, equal to or later than b.
int timespec_cmp(timespec a, timespec b);

// CLOCK_MONOTONIC in microseconds, for the waits inside a slot that keep a deadline as one number.
int64_t timespec_now_us();

// Whole milliseconds from now until deadline_us, rounded up so that a poll does not end just
// before it: 0 once it has passed, at most INT32_MAX.
int timespec_ms_until(int64_t deadline_us);
