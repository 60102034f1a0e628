// The platform's clocks: seconds since boot for time stamps and uptime, with a test seam, and
// a steady clock for intervals.
#pragma once

// Seconds since boot (CLOCK_BOOTTIME) with fractions. With since < 0 the current time;
// otherwise the time elapsed since `since`.
double fwtime_dbl(double since);
// Whole seconds since boot; never goes back. With since == 0 the current uptime; otherwise
// the seconds elapsed since `since`.
unsigned int fwtime_bt_s(unsigned int since);
// Test seam: replace the boot clock (both functions read it). nullptr restores the real one.
using clock_source_fn = double (*)();
void fwtime_set_source(clock_source_fn fn);

// Seconds of CLOCK_MONOTONIC with fractions: intervals that no test seam or clock step moves.
double steady_seconds();
