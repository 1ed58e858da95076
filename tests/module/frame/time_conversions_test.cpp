#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "frame/time_conversions.h"
#include "historian_support.h"

namespace {

using histtest::HistorianTest;
using histtest::State;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kSecond = 1.0 / 86400.0;

std::string Text(const KeldrinTime& t) {
    if (t.Seconds == KELDRIN_TIME_NONE_WORD && t.Micro == KELDRIN_TIME_NONE_WORD) return "none";
    return std::to_string(t.Seconds) + "." + std::to_string(t.Micro);
}

using TimeConversions = HistorianTest;

TEST_F(TimeConversions, DatesToMicrosecondTimesCoverUnsignedSecondsSince1970) {
    struct Case {
        double date;
        const char* time;
    } const cases[] = {
        {25569.0, "0.0"},
        {25568.999, "none"},
        {25569.5, "43200.0"},
        {25569.0 + 1.5 / 86400.0, "1.500000"},
        // Microseconds round to the nearest: 0.77 and 0.14 past 10 s.
        {25569.0 + 10.0000008 * kSecond, "10.1"},
        {25569.0 + 10.0000002 * kSecond, "10.0"},
        // Past 2038: the seconds word is unsigned.
        {25569.0 + 2147483648.0 * kSecond, "2147483648.0"},
        // The last second; 2106-02-07 06:28:15 is the all-ones "no time" word.
        {25569.0 + 4294967294.0 * kSecond, "4294967294.0"},
        {25569.0 + 4294967295.0 * kSecond, "none"},
        {-1e300, "none"},
        {kNaN, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date);
        KeldrinTime t{7, 7};
        DateToHistorianTime(0, c.date, &t, true);
        EXPECT_EQ(Text(t), c.time);
    }
}

TEST_F(TimeConversions, MicrosecondTimesToDatesZeroExtendTheSeconds) {
    struct Case {
        KeldrinUst ust;
        double date;
    } const cases[] = {
        {{0, 0}, 25569.0},
        {{1000000000u, 500000}, 25569.0 + 1000000000.5 / 86400.0},
        {{2147483648u, 0}, 25569.0 + 2147483648.0 / 86400.0},
        {{4294967295u, 999999}, 25569.0 + 4294967295.999999 / 86400.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ust.Seconds);
        DATE date = -1;
        HistorianTimeToDate(&c.ust, &date);
        EXPECT_DOUBLE_EQ(date, c.date);

        if (c.ust.Seconds == 4294967295u) continue;  // not a valid historian time
        KeldrinTime t{c.ust.Seconds, static_cast<ULONG>(c.ust.Micro)};
        date = -1;
        HistorianTimeToDate(0, &t, &date, true);
        EXPECT_DOUBLE_EQ(date, c.date);
    }
}

TEST_F(TimeConversions, FailedMicrosecondConversionLeavesTheCallersDate) {
    const KeldrinTime bad[] = {kNoKeldrinTime, {5, 1000000}};
    for (const KeldrinTime& t : bad) {
        DATE date = 12345.25;
        HistorianTimeToDate(0, &t, &date, true);
        EXPECT_EQ(date, 12345.25);
    }
}

// The tenths form through keldrin_api (mode 0) and through the older library
// (mode 1) in its states; with TZ=UTC a day number d is the UTC day d + 1
// since 1899-12-30.
TEST_F(TimeConversions, TenthsFormConvertsThroughEitherLibrary) {
    struct Case {
        double date;
        const char* time;
    } const cases[] = {
        {43001.5, "1506168000.0"},  // day 43000, tenths 432000
        {25569.25, "21600.0"},
        {25569.0 + 0.06 * kSecond, "0.100000"},  // rounds to 1 tenth
        // Tenths that round up to a whole day are the next day at 0.
        {25569.0 + 86399.96 * kSecond, "86400.0"},
        {0.5, "none"},  // day -1
        {-0.5, "none"},
        {3e9, "none"},  // beyond any 32-bit day number
        {kNaN, "none"},
    };
    struct Mode {
        LONG mode;
        State state;
        const char* counted;  // which library ran the conversion
    } const modes[] = {
        {0, State::Attached, "api"},
        {1, State::Attached, "older"},
        {1, State::Absent, "api"},
        {1, State::NotAttached, "api"},
    };
    for (const Mode& m : modes) {
        Enter(m.state, "DSPDT2XTS");
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(m.mode) + " " + histtest::Name(m.state) + " " +
                         std::to_string(c.date));
            KeldrinTime t{7, 7};
            LONG api = KhSim_CallCount(KHSIM_API, "DSPDT2XTS");
            LONG older = KhSim_CallCount(KHSIM_KELDCORE, "DSPDT2XTS");
            DateToKeldrinTime(m.mode, c.date, &t);
            EXPECT_EQ(Text(t), c.time);
            LONG calls = std::string(c.time) == "none" ? 0 : 1;
            bool viaApi = std::string(m.counted) == "api";
            EXPECT_EQ(KhSim_CallCount(KHSIM_API, "DSPDT2XTS") - api, viaApi ? calls : 0);
            EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "DSPDT2XTS") - older, viaApi ? 0 : calls);
        }
    }
}

TEST_F(TimeConversions, TenthsFormBackGivesTheCenturyWindowedDate) {
    struct Case {
        KeldrinTime time;
        double date;
    } const cases[] = {
        {{1506168000u, 0}, 43001.5},
        {{21600, 0}, 25569.25 + 36525.0},  // 1970 reads as 2070
        {{21600, 150000}, 25569.25 + 1.0 / 864000.0 + 36525.0},
        // A failed call leaves day and tenths 0.
        {kNoKeldrinTime, 36526.0},
    };
    for (LONG mode : {0, 1}) {
        for (State state : {State::Attached, State::Absent}) {
            Enter(state);
            for (const Case& c : cases) {
                SCOPED_TRACE(std::to_string(mode) + " " + histtest::Name(state) + " " +
                             Text(c.time));
                DATE date = -1;
                KeldrinTimeToDate(mode, &c.time, &date);
                EXPECT_DOUBLE_EQ(date, c.date);
                date = -1;
                HistorianTimeToDate(mode, &c.time, &date, false);
                EXPECT_DOUBLE_EQ(date, c.date);
            }
        }
    }
}

}  // namespace
