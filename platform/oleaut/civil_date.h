// Calendar arithmetic shared by the DATE conversions, the date texts of the
// VARIANT coercions and the typed XML values; not part of the platform's
// surface.
//
// Days are counted from 1970-01-01 on the proleptic Gregorian calendar. A
// DATE counts days from 1899-12-30; its whole part is the day and its
// fraction the time of day, and for a negative DATE the fraction still
// counts forward from the start of that day (-1.25 is 1899-12-29 06:00).
#pragma once

#include <cstdint>

namespace mv::civil {

constexpr bool IsLeapYear(int64_t y) noexcept {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Days in month `m` (1..12) of year `y`.
constexpr unsigned DaysInMonth(int64_t y, unsigned m) noexcept {
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a civil date.
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month;
    unsigned day;
};

// The civil date of a day counted from 1970-01-01.
constexpr Civil CivilFromDays(int64_t z) noexcept {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

// Day number of 1899-12-30, where DATE counts from.
constexpr int64_t kDateEpochDay = DaysFromCivil(1899, 12, 30);
static_assert(kDateEpochDay == -25569);

// DATE range: 0100-01-01 to 9999-12-31, as day numbers from 1899-12-30.
constexpr int64_t kFirstDateDay = DaysFromCivil(100, 1, 1) - kDateEpochDay;
constexpr int64_t kLastDateDay = DaysFromCivil(9999, 12, 31) - kDateEpochDay;
static_assert(kFirstDateDay == -657434 && kLastDateDay == 2958465);

// The DATE of a day (from 1899-12-30) and a fraction of the day in [0, 1).
constexpr double DateFromDay(double day, double fraction) noexcept {
    return day < 0 ? day - fraction : day + fraction;
}

}  // namespace mv::civil
