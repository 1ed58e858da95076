#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "oleaut.h"
#include "scheduling/schedule_arithmetic.h"

namespace {

constexpr double kSecond = 1.0 / 86400.0;
constexpr double kMinute = 60.0 * kSecond;
constexpr double kHour = 60.0 * kMinute;

// "YYYY-MM-DD HH:MM[:SS]" as an OLE date; "-" and "0" read as 0.0.
double At(const char* text) {
    if (text[0] == '0' || text[0] == '-') return 0.0;
    SYSTEMTIME st = {};
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    EXPECT_GE(std::sscanf(text, "%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s), 5) << text;
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    double date = 0.0;
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &date)) << text;
    return date;
}

std::string Text(double date) {
    if (date == 0.0) return "0";
    SYSTEMTIME st = {};
    if (!VariantTimeToSystemTime(date, &st)) return std::to_string(date);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth,
                  st.wDay, st.wHour, st.wMinute, st.wSecond);
    return buffer;
}

struct Row {
    const char* what;
    double rate, offset;
    LONG dayOfMonth, dayOfWeek;
    const char* reference;
    const char* next;
    const char* previous;  // nullptr: not pinned
};

double Previous(const Row& r, double reference) {
    if (r.dayOfMonth != 0)
        return PreviousTimeByDayOfMonth(r.dayOfMonth, reference, r.rate, r.offset);
    if (r.dayOfWeek != 0) return PreviousTimeByDayOfWeek(r.dayOfWeek, reference, r.rate, r.offset);
    return PreviousTimeByInterval(reference, r.rate, r.offset);
}

TEST(ScheduleArithmetic, NextAndPreviousTimesFollowTheGoldenTable) {
    const Row rows[] = {
        {"interval 1 h", 1.0 / 24, 0, 0, 0, "2024-03-15 10:20", "2024-03-15 11:00",
         "2024-03-15 10:00"},
        {"interval 6 h on grid", 0.25, 0, 0, 0, "2024-03-15 12:00", "2024-03-15 18:00",
         "2024-03-15 12:00"},
        {"interval 22.5 min on grid", 1.0 / 64, 0, 0, 0, "2024-03-15 12:45", "2024-03-15 12:45",
         "2024-03-15 12:22:30"},
        {"interval 15 min + 5", 15 * kMinute, 5 * kMinute, 0, 0, "2024-03-15 10:25",
         "2024-03-15 10:35", "2024-03-15 10:20"},
        {"interval 8 h + 2", 8 * kHour, 2 * kHour, 0, 0, "2024-03-15 10:20", "2024-03-15 18:00",
         "2024-03-15 10:00"},
        {"interval 90 min", 90 * kMinute, 0, 0, 0, "2024-03-15 10:20", "2024-03-15 10:30",
         "2024-03-15 09:00"},
        {"interval 30 s", 30 * kSecond, 0, 0, 0, "2024-03-15 10:20:10", "2024-03-15 10:20:30",
         "2024-03-15 10:20:00"},
        {"interval 1 day + 6 h", 1.0, 0.25, 0, 0, "2024-03-15 10:20", "2024-03-16 06:00",
         "2024-03-15 06:00"},
        {"interval 1.5 days", 1.5, 0, 0, 0, "2024-03-15 10:20", "2024-03-16 00:00",
         "2024-03-14 12:00"},
        {"monthly 31 in April", 0, 0.25, 31, 3, "2024-04-10 08:00", "2024-04-30 06:00",
         "2024-03-31 06:00"},
        {"monthly 31 in March", 0, 0.25, 31, 0, "2024-03-10 08:00", "2024-03-31 06:00",
         "2024-02-28 06:00"},
        {"monthly 30 in February", 0, 0.25, 30, 0, "2024-02-10 08:00", "2024-02-28 06:00",
         "2024-01-30 06:00"},
        {"monthly 15 over the year", 0, 0, 15, 0, "2024-12-20 08:00", "2025-01-15 00:00",
         "2024-12-15 00:00"},
        {"monthly 32", 0, 0, 32, 0, "2024-01-05 08:00", "2024-02-28 00:00", nullptr},
        {"last day", 0, 0.25, -1, 0, "2024-03-15 10:00", "2024-03-31 06:00", "2024-02-29 06:00"},
        {"last day passed", 0, 0.25, -1, 0, "2024-03-31 07:00", "2024-04-30 06:00",
         "2024-03-31 06:00"},
        {"last day offset 1.25", 0, 1.25, -1, 0, "2024-03-15 03:00", "2024-03-15 06:00", nullptr},
        {"weekly Monday", 0, 0.375, 0, 2, "2024-03-15 10:00", "2024-03-18 09:00",
         "2024-03-11 09:00"},
        {"weekly Friday ahead", 0, 0.375, 0, 6, "2024-03-15 08:00", "2024-03-15 09:00",
         "2024-03-08 09:00"},
        {"weekly Friday on time", 0, 0.375, 0, 6, "2024-03-15 09:00", "2024-03-22 09:00",
         "2024-03-15 09:00"},
        // Missing month ends and the year wrap.
        {"monthly 30 in February 2023", 0, 0, 30, 0, "2023-02-10 08:00", "2023-02-28 00:00",
         "2023-01-30 00:00"},
        {"monthly 31 over the year", 0, 0, 31, 0, "2025-01-05 08:00", "2025-01-31 00:00",
         "2024-12-31 00:00"},
        {"monthly 32 skips March", 0, 0, 32, 0, "2024-03-01 08:00", "2024-04-30 00:00",
         "2024-02-28 00:00"},
        {"monthly 32 before January", 0, 0, 32, 0, "2024-02-05 08:00", "2024-02-28 00:00",
         "2023-11-30 00:00"},
        {"day of month wins over weekday", 0, 0, 15, 2, "2024-03-20 00:00", "2024-04-15 00:00",
         "2024-03-15 00:00"},
        // The offset's whole days stay in the previous monthly time.
        {"monthly 15 offset 1.25", 0, 1.25, 15, 0, "2024-03-10 00:00", "2024-03-16 06:00",
         "2024-02-16 06:00"},
        // A run whose offset of days carries it into the next month is still
        // ahead of a reference early in that month.
        {"monthly 31 offset 1.25 early in April", 0, 1.25, 31, 0, "2024-04-01 03:00",
         "2024-04-01 06:00", "2024-02-29 06:00"},
        {"monthly 31 offset 1.25 later in April", 0, 1.25, 31, 0, "2024-04-10 00:00",
         "2024-05-01 06:00", "2024-04-01 06:00"},
        {"monthly 1 offset 40", 0, 40.0, 1, 0, "2024-03-05 00:00", "2024-03-12 00:00",
         "2024-02-10 00:00"},
        {"monthly 1 offset 40 over the year", 0, 40.0, 1, 0, "2025-01-20 00:00", "2025-02-10 00:00",
         "2025-01-10 00:00"},
        // On the run time itself: next is strictly later, previous is itself.
        {"monthly 15 on its run", 0, 0.25, 15, 0, "2024-03-15 06:00", "2024-04-15 06:00",
         "2024-03-15 06:00"},
        {"monthly 31 offset 1.25 on its run", 0, 1.25, 31, 0, "2024-04-01 06:00",
         "2024-05-01 06:00", "2024-04-01 06:00"},
        {"monthly 1 offset -0.25", 0, -0.25, 1, 0, "2024-03-31 20:00", "2024-04-30 18:00",
         "2024-03-31 18:00"},
        // Weekly: the first run strictly after the reference for any offset.
        {"weekly Saturday offset 1.25", 0, 1.25, 0, 7, "2024-03-17 03:00", "2024-03-17 06:00",
         "2024-03-10 06:00"},
        {"weekly Monday offset -8", 0, -8.0, 0, 2, "2024-03-15 10:00", "2024-03-17 00:00",
         "2024-03-10 00:00"},
        {"weekly Monday offset 3 weeks", 0, 21.0, 0, 2, "2024-03-15 10:00", "2024-03-18 00:00",
         "2024-03-11 00:00"},
        // Rates with no grid, and a rate of years.
        {"rate 0", 0, 0, 0, 0, "2024-03-15 10:00", "0", nullptr},
        {"rate -1", -1.0, 0, 0, 0, "2024-03-15 10:00", "0", "0"},
        {"rate -40000", -40000.0, 0, 0, 0, "2024-03-15 10:00", "0", "0"},
        {"rate 1e-12", 1e-12, 0, 0, 0, "2024-03-15 10:00", "0", "0"},
        {"rate 3 years", 1095.0, 0, 0, 0, "2024-03-15 10:00", "2027-03-01 00:00", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const double reference = At(r.reference);
        const double next =
            ComputeNextScheduleTime(r.rate, r.offset, r.dayOfMonth, r.dayOfWeek, reference);
        EXPECT_EQ(Text(next), Text(At(r.next)));
        if (r.previous) {
            EXPECT_EQ(Text(Previous(r, reference)), Text(At(r.previous)));
        }
    }
}

TEST(ScheduleArithmetic, BadWeekdaysAndReferencesGiveNoTime) {
    for (LONG day : {8, -3, 100}) {
        EXPECT_EQ(NextTimeByDayOfWeek(day, At("2024-03-15 10:00"), 0, 0), 0.0) << day;
        EXPECT_EQ(PreviousTimeByDayOfWeek(day, At("2024-03-15 10:00"), 0, 0), -7.0) << day;
    }
    for (double reference : {-1e7, 1e7, 3e6}) {
        EXPECT_EQ(NextTimeByInterval(reference, 1.0 / 24, 0), 0.0);
        EXPECT_EQ(NextTimeByDayOfMonth(15, reference, 0, 0), 0.0);
        EXPECT_EQ(PreviousTimeByDayOfMonth(-1, reference, 0, 0), 0.0);
        EXPECT_EQ(NextTimeByDayOfWeek(2, reference, 0, 0), 0.0);
    }
    EXPECT_EQ(NextTimeByDayOfMonth(0x7fffffff, At("2024-03-15 10:00"), 0, 1e300), 0.0);
}

TEST(ScheduleArithmetic, FarOffsetsJumpToTheGridInsteadOfLooping) {
    const double reference = At("2024-03-15 10:20:10");
    const double next = NextTimeByInterval(reference, kMinute, -2000000.0 * kMinute);
    EXPECT_NEAR(next, At("2024-03-15 10:21:00"), kSecond);
    EXPECT_GT(next, reference);
    // Tenths of a second from 9000 days back.
    const double fine = NextTimeByInterval(reference, kSecond / 5, -9000.0);
    EXPECT_GE(fine, reference);
    EXPECT_LT(fine, reference + kSecond);
}

TEST(ScheduleArithmetic, ClampDayOfMonthKeepsTheDayWhereTheMonthHasIt) {
    struct Case {
        LONG day, month, expected;
    } const cases[] = {{28, 2, 28}, {29, 2, 28},  {31, 2, 28}, {-1, 2, -1}, {29, 4, 29},
                       {31, 4, 30}, {32, 11, 30}, {31, 3, 31}, {32, 1, 32}, {0, 5, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(ClampDayOfMonth(c.day, c.month), c.expected) << c.day << "/" << c.month;
}

}  // namespace
