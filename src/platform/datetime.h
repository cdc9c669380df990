// Dates and times as day counts: a double holding whole days since 1899-12-30 plus the
// fraction of the day, in local time. Before 1899-12-30 the integral part is negative and
// the fraction still counts forward from midnight (-1.25 is 1899-12-29 06:00).
#pragma once

#include <cstdint>

namespace q2 {

struct tDateTimeFields {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Local date and time now.
double Now();
// Throws std::runtime_error on fields out of range.
double EncodeDateTime(const tDateTimeFields& f);
bool TryEncodeDateTime(const tDateTimeFields& f, double* value);
tDateTimeFields DecodeDateTime(double value);
// Local now as calendar fields.
tDateTimeFields NowFields();
// For tests: a fixed "now" (day count), or 0 to use the clock again.
void SetNowForTesting(double value);

}  // namespace q2
