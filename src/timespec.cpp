// Time arithmetic for retry pauses and deadlines. Fields are read as signed 32-bit
// values so that the bounds are the same on 32-bit and 64-bit time_t platforms.
#include "timespec.h"

static constexpr int32_t SEC_MAX = 2147483647;
static constexpr int32_t NSEC_MAX = 999999999;
static constexpr int32_t NSEC_PER_SEC = 1000000000;

static int32_t sec_of(const timespec &t)
{
    return static_cast<int32_t>(t.tv_sec);
}

static int32_t nsec_of(const timespec &t)
{
    return static_cast<int32_t>(t.tv_nsec);
}

void timespec_set(timespec *t, int32_t sec, int32_t nsec)
{
    t->tv_sec = sec;
    t->tv_nsec = nsec;
}

void timespec_add(timespec *t, timespec d)
{
    int32_t ts = sec_of(*t);
    int32_t tn = nsec_of(*t);
    int32_t ds = sec_of(d);
    int32_t dn = nsec_of(d);
    // Compare against the room left rather than forming a sum that could overflow.
    if (ds > SEC_MAX - ts) {
        timespec_set(t, SEC_MAX, NSEC_MAX);
        return;
    }
    bool carry = dn >= NSEC_PER_SEC - tn;
    if (ds == SEC_MAX - ts && carry) {
        timespec_set(t, SEC_MAX, NSEC_MAX);
        return;
    }
    timespec_set(t, ts + ds + (carry ? 1 : 0), carry ? tn - (NSEC_PER_SEC - dn) : tn + dn);
}

void timespec_sub(timespec *t, timespec d)
{
    int32_t ts = sec_of(*t);
    int32_t tn = nsec_of(*t);
    int32_t ds = sec_of(d);
    int32_t dn = nsec_of(d);
    if (ts < ds || (ts == ds && dn > tn)) {
        timespec_set(t, 0, 0);
        return;
    }
    int32_t sec = ts - ds;
    int32_t nsec = tn - dn;
    if (nsec < 0) {
        sec -= 1;
        nsec += NSEC_PER_SEC;
    }
    timespec_set(t, sec, nsec);
}

int timespec_cmp(timespec a, timespec b)
{
    if (sec_of(a) != sec_of(b)) {
        return sec_of(a) > sec_of(b) ? 1 : -1;
    }
    if (nsec_of(a) != nsec_of(b)) {
        return nsec_of(a) > nsec_of(b) ? 1 : -1;
    }
    return 0;
}

int64_t timespec_now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

int timespec_ms_until(int64_t deadline_us)
{
    int64_t left = deadline_us - timespec_now_us();
    if (left <= 0) {
        return 0;
    }
    int64_t ms = (left + 999) / 1000;
    return ms < INT32_MAX ? static_cast<int>(ms) : INT32_MAX;
}
