#include "platform/datetime.h"

#include <sys/time.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <stdexcept>

namespace q2 {

namespace {

std::atomic<double> gFixedNow{0.0};
constexpr double kMsPerDay = 86400000.0;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(y + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);  // day 0 of the day counts

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

bool TryEncodeDateTime(const tDateTimeFields& f, double* value) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (f.year < 1 || f.year > 9999 || f.month < 1 || f.month > 12 || f.day < 1) return false;
  int dim = kDays[f.month - 1] + (f.month == 2 && IsLeap(f.year) ? 1 : 0);
  if (f.day > dim || f.hour < 0 || f.hour > 23 || f.minute < 0 || f.minute > 59 || f.second < 0 ||
      f.second > 59 || f.millisecond < 0 || f.millisecond > 999) {
    return false;
  }
  double days = static_cast<double>(
      DaysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day)) -
      kEpochOffset);
  double frac =
      (f.hour * 3600000.0 + f.minute * 60000.0 + f.second * 1000.0 + f.millisecond) / kMsPerDay;
  *value = days >= 0 ? days + frac : days - frac;
  return true;
}

double EncodeDateTime(const tDateTimeFields& f) {
  double v;
  if (!TryEncodeDateTime(f, &v)) throw std::runtime_error("Invalid argument to date encode");
  return v;
}

tDateTimeFields DecodeDateTime(double value) {
  double whole = std::trunc(value);
  int64_t ms = static_cast<int64_t>(std::llround(std::fabs(value - whole) * kMsPerDay));
  int64_t day = static_cast<int64_t>(whole);
  if (ms >= static_cast<int64_t>(kMsPerDay)) {
    // Rounding reached midnight: the next day forward (backward before day 0).
    ms -= static_cast<int64_t>(kMsPerDay);
    day += value >= 0 ? 1 : -1;
  }
  tDateTimeFields f;
  CivilFromDays(day + kEpochOffset, &f.year, &f.month, &f.day);
  f.hour = static_cast<int>(ms / 3600000);
  f.minute = static_cast<int>(ms / 60000 % 60);
  f.second = static_cast<int>(ms / 1000 % 60);
  f.millisecond = static_cast<int>(ms % 1000);
  return f;
}

tDateTimeFields NowFields() { return DecodeDateTime(Now()); }

double Now() {
  double fixed = gFixedNow.load();
  if (fixed != 0.0) return fixed;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm lt;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &lt);
  tDateTimeFields f;
  f.year = lt.tm_year + 1900;
  f.month = lt.tm_mon + 1;
  f.day = lt.tm_mday;
  f.hour = lt.tm_hour;
  f.minute = lt.tm_min;
  f.second = lt.tm_sec > 59 ? 59 : lt.tm_sec;  // a leap second reads as :59
  f.millisecond = static_cast<int>(tv.tv_usec / 1000);
  return EncodeDateTime(f);
}

void SetNowForTesting(double value) { gFixedNow.store(value); }

}  // namespace q2
