#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "oleaut.h"

namespace {

SYSTEMTIME St(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

std::string Show(const SYSTEMTIME& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u dow%u", st.wYear, st.wMonth,
                  st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
    return buf;
}

uint64_t Ticks(const FILETIME& ft) {
    return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}

FILETIME Ft(uint64_t ticks) {
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

constexpr double kSecond = 1.0 / 86400;

struct ToSystemCase {
    DATE date;
    const char* expected;  // as Show() prints it
};

const ToSystemCase kToSystem[] = {
    {0.0, "1899-12-30 00:00:00.000 dow6"},
    // 2.5 is 1900-01-01 at noon; 3.25 is 1900-01-02 06:00 (the platform's
    // documentation of the DATE type).
    {2.5, "1900-01-01 12:00:00.000 dow1"},
    {3.25, "1900-01-02 06:00:00.000 dow2"},
    // Negative: the whole part is the day, the fraction counts forward.
    {-1.25, "1899-12-29 06:00:00.000 dow5"},
    {-1.75, "1899-12-29 18:00:00.000 dow5"},
    {-0.5, "1899-12-30 12:00:00.000 dow6"},
    {-36522.5, "1800-01-01 12:00:00.000 dow3"},
    {36585.0, "2000-02-29 00:00:00.000 dow2"},
    {45000.0 + 13 * 3600 * kSecond + 14 * 60 * kSecond + 15 * kSecond,
     "2023-03-15 13:14:15.000 dow3"},
    // Limits of the DATE range (years 100 to 9999).
    {-657434.0, "0100-01-01 00:00:00.000 dow5"},
    {2958465.0, "9999-12-31 00:00:00.000 dow5"},
    {2958465.0 + 86399 * kSecond, "9999-12-31 23:59:59.000 dow5"},
    // Whole seconds: the fraction rounds to the nearest second, a half up.
    {0.5 * kSecond, "1899-12-30 00:00:01.000 dow6"},
    {0.49 * kSecond, "1899-12-30 00:00:00.000 dow6"},
    {36526.0 + 10.51 * kSecond, "2000-01-01 00:00:11.000 dow6"},
    {36526.0 + 10.49 * kSecond, "2000-01-01 00:00:10.000 dow6"},
    // Rounding up at the end of a day carries into the next one.
    {1.0 - 0.4 * kSecond, "1899-12-31 00:00:00.000 dow0"},
    {1.0 - 0.6 * kSecond, "1899-12-30 23:59:59.000 dow6"},
    {-1.0 - (1.0 - 0.4 * kSecond), "1899-12-30 00:00:00.000 dow6"},
};

TEST(Dates, VariantTimeToSystemTimeReadsDaysAndForwardFractions) {
    for (const ToSystemCase& c : kToSystem) {
        SCOPED_TRACE(c.date);
        SYSTEMTIME st;
        std::memset(&st, 0xAB, sizeof st);
        ASSERT_TRUE(VariantTimeToSystemTime(c.date, &st));
        EXPECT_EQ(Show(st), c.expected);
    }
}

TEST(Dates, VariantTimeToSystemTimeRefusesDatesOutsideTheRange) {
    const DATE bad[] = {-657435.0, 2958466.0,
                        2958465.0 + 86399.6 * kSecond,  // rounds into the year 10000
                        std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity()};
    for (const DATE d : bad) {
        SCOPED_TRACE(d);
        SYSTEMTIME st{};
        EXPECT_FALSE(VariantTimeToSystemTime(d, &st));
    }
    EXPECT_FALSE(VariantTimeToSystemTime(0.0, nullptr));
}

struct FromSystemCase {
    SYSTEMTIME st;
    DATE expected;
};

const FromSystemCase kFromSystem[] = {
    {St(1899, 12, 30), 0.0},
    {St(1899, 12, 30, 12), 0.5},
    {St(1900, 1, 1, 12), 2.5},
    {St(1899, 12, 29, 6), -1.25},
    {St(1899, 12, 29, 18), -1.75},
    {St(1970, 1, 1), 25569.0},
    {St(100, 1, 1), -657434.0},
    {St(9999, 12, 31), 2958465.0},
    {St(9999, 12, 31, 23, 59, 59), 2958465.0 + 86399 * kSecond},
    {St(1800, 6, 15, 12), -36357.5},
    // Milliseconds are ignored (the platform's documentation: variant time
    // resolves to one second).
    {St(1899, 12, 30, 12, 0, 0, 999), 0.5},
};

TEST(Dates, SystemTimeToVariantTimeGivesTheDateAndBack) {
    for (const FromSystemCase& c : kFromSystem) {
        SCOPED_TRACE(Show(c.st));
        SYSTEMTIME st = c.st;
        DATE d = -99;
        ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
        EXPECT_EQ(d, c.expected);
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(d, &back));
        st.wDayOfWeek = back.wDayOfWeek, st.wMilliseconds = 0;
        EXPECT_EQ(Show(back), Show(st));
    }
}

TEST(Dates, SystemTimeToVariantTimeRefusesInvalidFields) {
    const SYSTEMTIME bad[] = {
        St(99, 12, 31),  St(10000, 1, 1),    St(2000, 0, 1),        St(2000, 13, 1),
        St(2000, 1, 0),  St(2000, 1, 32),    St(2000, 4, 31),       St(1900, 2, 29),
        St(2001, 2, 29), St(2000, 1, 1, 24), St(2000, 1, 1, 0, 60), St(2000, 1, 1, 0, 0, 60),
    };
    for (SYSTEMTIME st : bad) {
        SCOPED_TRACE(Show(st));
        DATE d = 0;
        EXPECT_FALSE(SystemTimeToVariantTime(&st, &d));
    }
    SYSTEMTIME leap = St(2000, 2, 29);
    DATE d = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&leap, &d));
    EXPECT_FALSE(SystemTimeToVariantTime(nullptr, &d));
    EXPECT_FALSE(SystemTimeToVariantTime(&leap, nullptr));
}

constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;

struct FileTimeCase {
    SYSTEMTIME st;
    uint64_t ticks;
};

const FileTimeCase kFileTimes[] = {
    {St(1601, 1, 1), 0},
    {St(1970, 1, 1), kUnixEpochTicks},
    {St(1970, 1, 1, 0, 0, 1, 250), kUnixEpochTicks + 12'500'000},
    {St(2000, 2, 29, 23, 59, 59, 999), 125963423999990000ull},
    {St(30827, 12, 31, 23, 59, 59, 999), 0x7FFF35F4F06C58F0ull},
};

TEST(Dates, SystemTimeAndFileTimeConvertBothWays) {
    for (const FileTimeCase& c : kFileTimes) {
        SCOPED_TRACE(Show(c.st));
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
        EXPECT_EQ(Ticks(ft), c.ticks);
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
        SYSTEMTIME expected = c.st;
        expected.wDayOfWeek = back.wDayOfWeek;
        EXPECT_EQ(Show(back), Show(expected));
    }
    SYSTEMTIME st{};
    const FILETIME epoch = Ft(0);
    ASSERT_TRUE(FileTimeToSystemTime(&epoch, &st));
    EXPECT_EQ(st.wDayOfWeek, 1);  // 1601-01-01 was a Monday
}

TEST(Dates, FileTimeConversionsRefuseWhatTheyCannotHold) {
    FILETIME ft{};
    const SYSTEMTIME bad[] = {St(1600, 12, 31), St(30828, 1, 1), St(2000, 1, 1, 0, 0, 0, 1000),
                              St(2000, 2, 30)};
    for (const SYSTEMTIME& st : bad) {
        SCOPED_TRACE(Show(st));
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    }
    // The top bit set is beyond the FILETIME range.
    const FILETIME high = Ft(0x8000000000000000ull);
    SYSTEMTIME st{};
    EXPECT_FALSE(FileTimeToSystemTime(&high, &st));
    EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
    EXPECT_FALSE(SystemTimeToFileTime(nullptr, &ft));
}

struct DateFileTimeCase {
    DATE date;
    uint64_t ticks;
};

const DateFileTimeCase kDateFileTimes[] = {
    {25569.0, kUnixEpochTicks},
    {25569.5, kUnixEpochTicks + 432'000'000'000ull},
    {0.0, 94353120000000000ull},
    {-1.25, 94353120000000000ull - 648'000'000'000ull},    // 1899-12-29 06:00
    {-109205.0, 0},                                        // 1601-01-01
    {25569.0 + 1.0 / 86400000, kUnixEpochTicks + 10'000},  // one millisecond
};

TEST(Dates, DateAndFileTimeConvertBothWaysWithinTheRange) {
    for (const DateFileTimeCase& c : kDateFileTimes) {
        SCOPED_TRACE(c.date);
        EXPECT_EQ(Ticks(mv::FileTimeFromDate(c.date)), c.ticks);
        EXPECT_NEAR(mv::DateFromFileTime(Ft(c.ticks)), c.date, 1e-10);
    }
    // Whole milliseconds survive the trip through a DATE.
    for (uint64_t ms : {1ull, 499ull, 500ull, 999ull, 86'399'999ull}) {
        const uint64_t ticks = kUnixEpochTicks + ms * 10'000 + 3 * 864'000'000'000ull;
        EXPECT_EQ(Ticks(mv::FileTimeFromDate(mv::DateFromFileTime(Ft(ticks)))), ticks) << ms;
    }
    // A date outside the FILETIME range, or not a number, gives 0.
    for (DATE d : {-109206.0, -657434.0, std::numeric_limits<double>::quiet_NaN(), 1e300}) {
        EXPECT_EQ(Ticks(mv::FileTimeFromDate(d)), 0u) << d;
    }
}

TEST(Dates, UnixSecondsConvertBothWays) {
    struct Case {
        double seconds;
        DATE date;
    };
    const Case cases[] = {
        {0.0, 25569.0},
        {86400.0 * 1.5, 25570.5},
        {(-25569.0 - 0.75) * 86400, -1.25},  // 1899-12-29 06:00
        {1700000000.0, 25569.0 + 1700000000.0 / 86400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_NEAR(mv::DateFromUnixSeconds(c.seconds), c.date, 1e-9);
        EXPECT_NEAR(mv::UnixSecondsFromDate(c.date), c.seconds, 1e-4);
    }
}

// Sets TZ for one test and restores it after.
class LocalTime : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        hadTz_ = old != nullptr;
        if (old) oldTz_ = old;
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", oldTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        mv::SetClockForTesting(nullptr);
    }
    static void Zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    bool hadTz_ = false;
    std::string oldTz_;
};

// US Eastern rules written out, so no zone database is needed: clocks go
// from 02:00 to 03:00 on 2024-03-10 and from 02:00 back to 01:00 on
// 2024-11-03.
constexpr const char* kEastern = "EST5EDT,M3.2.0,M11.1.0";

enum class Way { kToUtc, kToLocal };

struct ZoneCase {
    const char* name;
    Way way;
    SYSTEMTIME local;
    SYSTEMTIME utc;
};

const ZoneCase kEasternCases[] = {
    {"winter", Way::kToUtc, St(2024, 1, 15, 12), St(2024, 1, 15, 17)},
    {"summer", Way::kToUtc, St(2024, 7, 15, 12), St(2024, 7, 15, 16)},
    {"before the gap", Way::kToUtc, St(2024, 3, 10, 1, 59, 59), St(2024, 3, 10, 6, 59, 59)},
    // Skipped: read with the offset before the change, so 02:30 is 03:30
    // daylight time.
    {"inside the gap", Way::kToUtc, St(2024, 3, 10, 2, 30), St(2024, 3, 10, 7, 30)},
    {"after the gap", Way::kToUtc, St(2024, 3, 10, 3, 0), St(2024, 3, 10, 7, 0)},
    // Repeated: the first occurrence, still on daylight time.
    {"repeated hour", Way::kToUtc, St(2024, 11, 3, 1, 30), St(2024, 11, 3, 5, 30)},
    {"after the repeat", Way::kToUtc, St(2024, 11, 3, 2, 0), St(2024, 11, 3, 7, 0)},
    {"milliseconds kept", Way::kToUtc, St(2024, 1, 1, 0, 0, 0, 123), St(2024, 1, 1, 5, 0, 0, 123)},
    // From UTC, each instant takes the offset in force at that instant.
    {"winter", Way::kToLocal, St(2024, 1, 15, 12), St(2024, 1, 15, 17)},
    {"summer", Way::kToLocal, St(2024, 7, 15, 12), St(2024, 7, 15, 16)},
    {"first 01:30", Way::kToLocal, St(2024, 11, 3, 1, 30), St(2024, 11, 3, 5, 30)},
    {"second 01:30", Way::kToLocal, St(2024, 11, 3, 1, 30), St(2024, 11, 3, 6, 30)},
    {"just after the gap", Way::kToLocal, St(2024, 3, 10, 3, 0), St(2024, 3, 10, 7, 0)},
    {"year before 1970", Way::kToLocal, St(1960, 1, 1, 7), St(1960, 1, 1, 12)},
};

TEST_F(LocalTime, LocalAndUtcMapIncludingAroundDaylightSavingChanges) {
    Zone(kEastern);
    for (const ZoneCase& c : kEasternCases) {
        const bool toUtc = c.way == Way::kToUtc;
        SCOPED_TRACE(std::string(c.name) + (toUtc ? " to UTC" : " to local"));
        SYSTEMTIME out{};
        ASSERT_TRUE(toUtc ? TzSpecificLocalTimeToSystemTime(nullptr, &c.local, &out)
                          : SystemTimeToTzSpecificLocalTime(nullptr, &c.utc, &out));
        SYSTEMTIME expected = toUtc ? c.utc : c.local;
        expected.wDayOfWeek = out.wDayOfWeek;
        EXPECT_EQ(Show(out), Show(expected));
    }
}

TEST_F(LocalTime, FileTimesShiftByTheZoneOffset) {
    struct Case {
        const char* tz;
        uint64_t utc;
        int64_t offsetSeconds;
    };
    const uint64_t jan2024 = 133487136000000000ull;  // 2024-01-01 00:00 UTC
    const Case cases[] = {
        {kEastern, jan2024, -5 * 3600},
        {"JST-9", jan2024, 9 * 3600},
        {"<+0530>-5:30", jan2024, 5 * 3600 + 1800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tz);
        Zone(c.tz);
        FILETIME local{}, back{};
        const FILETIME utc = Ft(c.utc);
        ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
        EXPECT_EQ(static_cast<int64_t>(Ticks(local) - c.utc), c.offsetSeconds * 10'000'000);
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
        EXPECT_EQ(Ticks(back), c.utc);
    }
}

TEST_F(LocalTime, ShiftsRefuseResultsOutsideTheFileTimeRange) {
    Zone("JST-9");
    FILETIME out{};
    const FILETIME top = Ft(0x7FFFFFFFFFFFFFFFull);
    EXPECT_FALSE(FileTimeToLocalFileTime(&top, &out));
    Zone("EST5");
    const FILETIME zero = Ft(0);
    EXPECT_FALSE(FileTimeToLocalFileTime(&zero, &out));
    EXPECT_FALSE(FileTimeToLocalFileTime(nullptr, &out));
    EXPECT_FALSE(LocalFileTimeToFileTime(&zero, nullptr));
}

TEST_F(LocalTime, OnlyTheProcessZoneIsOffered) {
    const SYSTEMTIME st = St(2024, 1, 1);
    SYSTEMTIME out{};
    const char zone[256] = {};
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(zone, &st, &out));
    EXPECT_FALSE(TzSpecificLocalTimeToSystemTime(zone, &st, &out));
}

int64_t FixedClock() {
    return 1'709'000'000'123'456;
}  // 2024-02-27 02:13:20.123456 UTC

TEST_F(LocalTime, ClockReadingsComeFromTheInstalledClock) {
    Zone("JST-9");
    mv::SetClockForTesting(&FixedClock);
    EXPECT_EQ(mv::NowMicrosecondsUtc(), FixedClock());
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    EXPECT_EQ(Ticks(ft), kUnixEpochTicks + 17'090'000'001'234'560ull);
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    EXPECT_EQ(Show(utc), "2024-02-27 02:13:20.123 dow2");
    GetLocalTime(&local);
    EXPECT_EQ(Show(local), "2024-02-27 11:13:20.123 dow2");

    mv::SetClockForTesting(nullptr);
    const int64_t now = mv::NowMicrosecondsUtc();
    EXPECT_GT(now, FixedClock());  // the system clock again
}

}  // namespace
