// Historian times: local day-and-tenths form across DST changes, 2038 and
// midnight; microsecond form; arithmetic and text.
#include <cstring>

#include "fixture.h"

namespace {

using kh_test::at;
using kh_test::kNone;
using kh_test::ScopedTz;

constexpr LONG kDay1970 = 25568;  // day number of 1970-01-01

struct LocalCase {
    const char* name;
    const char* tz;
    LONG day;       // local day number
    LONG tenths;    // local tenths of the day
    ULONG seconds;  // expected UTC instant
};

const LocalCase kLocalCases[] = {
    {"epoch_utc", "UTC", kDay1970, 0, 0u},
    {"ny_before_spring_gap", "America/New_York", 45360, 54000, 1710052200u},
    {"ny_in_spring_gap_moves_on", "America/New_York", 45360, 90000, 1710055800u},
    {"ny_after_spring_gap", "America/New_York", 45360, 126000, 1710055800u},
    {"ny_repeated_hour_takes_first", "America/New_York", 20030 + kDay1970, 54000, 1730611800u},
    {"ny_midnight", "America/New_York", 19797 + kDay1970, 0, 1710475200u},
    {"berlin_in_spring_gap_moves_on", "Europe/Berlin", 19813 + kDay1970, 90000, 1711848600u},
    {"berlin_repeated_hour_takes_first", "Europe/Berlin", 20023 + kDay1970, 90000, 1729989000u},
    {"berlin_midnight", "Europe/Berlin", 19797 + kDay1970, 0, 1710457200u},
    {"beyond_2038", "UTC", 24855 + kDay1970, 116480, 2147483648u},
    {"year_2100", "UTC", 47482 + kDay1970, 0, 4102444800u},
    {"full_day_of_tenths_carries", "UTC", 45360, 864000, 1710115200u},
};

TEST(HistorianLocalTime, DayAndTenthsAndTheInstantMapBothWays) {
    for (const auto& c : kLocalCases) {
        SCOPED_TRACE(c.name);
        ScopedTz tz(c.tz);
        KeldrinTime t = kNone;
        ASSERT_EQ(DSPDT2XTS(c.day, c.tenths, &t), KELDRIN_OK);
        EXPECT_EQ(t.Seconds, c.seconds);
        EXPECT_EQ(t.Micro, 0u);
        // Instants that exist once map back to the day and tenths they came from.
        if (std::strstr(c.name, "gap") || std::strstr(c.name, "carries")) continue;
        t.Micro = 250000;
        LONG day = 0, tenths = 0;
        ASSERT_EQ(XTS2DSPDT(&t, &day, &tenths), KELDRIN_OK);
        EXPECT_EQ(day, c.day);
        EXPECT_EQ(tenths, c.tenths + 2);  // 0.25 s is two whole tenths
    }
}

TEST(HistorianLocalTime, RoundTripsAcrossBothDstChangesInTwoZones) {
    struct Sweep {
        const char* tz;
        ULONG from;  // UTC start of a two-day sweep around a change
    };
    const Sweep sweeps[] = {
        {"America/New_York", 1710028800u},  // 2024-03-10 00:00Z
        {"America/New_York", 1730592000u},  // 2024-11-03 00:00Z
        {"Europe/Berlin", 1711843200u},     // 2024-03-31 00:00Z
        {"Europe/Berlin", 1729987200u},     // 2024-10-27 00:00Z
    };
    for (const auto& s : sweeps) {
        SCOPED_TRACE(s.tz);
        ScopedTz tz(s.tz);
        int moved = 0;
        for (ULONG t = s.from - 86400; t < s.from + 86400; t += 900) {
            KeldrinTime in = at(t), out = kNone;
            LONG day = 0, tenths = 0, day2 = 0, tenths2 = 0;
            ASSERT_EQ(XTS2DSPDT(&in, &day, &tenths), KELDRIN_OK);
            ASSERT_EQ(DSPDT2XTS(day, tenths, &out), KELDRIN_OK);
            ASSERT_EQ(XTS2DSPDT(&out, &day2, &tenths2), KELDRIN_OK);
            EXPECT_EQ(day2, day);  // the local time always comes back
            EXPECT_EQ(tenths2, tenths);
            if (out.Seconds != in.Seconds) {
                // Only the second pass of a repeated hour, onto the first.
                EXPECT_EQ(out.Seconds + 3600, in.Seconds);
                ++moved;
            }
        }
        EXPECT_TRUE(moved == 0 || moved == 4) << moved;
    }
}

TEST(HistorianLocalTime, RejectsWhatItCannotConvert) {
    ScopedTz tz("UTC");
    KeldrinTime t = at(123);
    LONG day = 7, tenths = 8;
    EXPECT_EQ(XTS2DSPDT(&kNone, &day, &tenths), KELDRIN_E_BADTIME);
    EXPECT_EQ(day, 7);
    EXPECT_EQ(tenths, 8);
    EXPECT_EQ(DSPDT2XTS(kDay1970 - 1, 0, &t), KELDRIN_E_BADTIME);  // before 1970
    EXPECT_EQ(DSPDT2XTS(kDay1970, -1, &t), KELDRIN_E_BADTIME);
    EXPECT_EQ(DSPDT2XTS(200000, 0, &t), KELDRIN_E_BADTIME);  // past 2106
    EXPECT_EQ(t.Seconds, 123u);
    EXPECT_EQ(XTS2DSPDT(&t, nullptr, &tenths), KELDRIN_E_BADARG);
    EXPECT_EQ(DSPDT2XTS(kDay1970, 0, nullptr), KELDRIN_E_BADARG);
}

TEST(HistorianMicroTime, RoundTripsAndRejectsNone) {
    const ULONG seconds[] = {0u, 1000000000u, 2147483647u, 2147483648u, 4102444800u};
    for (ULONG s : seconds) {
        KeldrinTime in = at(s, 999999), out = kNone;
        KeldrinUst u{};
        ASSERT_EQ(XTS2XUST(&in, &u), KELDRIN_OK);
        EXPECT_EQ(u.Seconds, s);
        EXPECT_EQ(u.Micro, 999999);
        ASSERT_EQ(XUST2XTS(&u, &out), KELDRIN_OK);
        EXPECT_EQ(out.Seconds, s);
        EXPECT_EQ(out.Micro, 999999u);
    }
    KeldrinUst u{5, 5};
    EXPECT_EQ(XTS2XUST(&kNone, &u), KELDRIN_E_BADTIME);
    EXPECT_EQ(u.Seconds, 5u);
    KeldrinTime t = at(9);
    const KeldrinUst bad[] = {{1, 1000000}, {1, -1}, {0xFFFFFFFFu, 0}};
    for (const auto& b : bad) EXPECT_EQ(XUST2XTS(&b, &t), KELDRIN_E_BADTIME);
    EXPECT_EQ(t.Seconds, 9u);
}

TEST(HistorianTimeArithmetic, DifferencesAndSums) {
    const KeldrinTime base = at(kh_test::kT0);
    EXPECT_DOUBLE_EQ(CALCDELXTM(&base, &base), 0.0);
    KeldrinTime later = at(kh_test::kT0 + 10, 500000);
    EXPECT_DOUBLE_EQ(CALCDELXTM(&later, &base), 105.0);
    EXPECT_DOUBLE_EQ(CALCDELXTM(&base, &later), -105.0);
    EXPECT_DOUBLE_EQ(CALCDELXTM(&kNone, &base), 0.0);

    struct Add {
        double tenths;
        SHORT rc;
        ULONG seconds;
        ULONG micro;
    };
    const Add adds[] = {
        {36000.0, KELDRIN_OK, kh_test::kT0 + 3600, 0},
        {-864000.0, KELDRIN_OK, kh_test::kT0 - 86400, 0},
        {2.5, KELDRIN_OK, kh_test::kT0, 250000},
        {-1e12, KELDRIN_E_BADTIME, kh_test::kT0, 0},  // before 1970
        {1e13, KELDRIN_E_BADTIME, kh_test::kT0, 0},   // past 2106
    };
    for (const auto& a : adds) {
        KeldrinTime t = base;
        EXPECT_EQ(XTSPLUSDT(&t, &a.tenths), a.rc) << a.tenths;
        EXPECT_EQ(t.Seconds, a.seconds) << a.tenths;
        EXPECT_EQ(t.Micro, a.micro) << a.tenths;
    }
    KeldrinTime none = kNone;
    double step = 10.0;
    EXPECT_EQ(XTSPLUSDT(&none, &step), KELDRIN_E_BADTIME);
    EXPECT_EQ(none.Seconds, KELDRIN_TIME_NONE_WORD);
}

TEST(HistorianTimeText, FormatsLocalTimeWithinTheWidth) {
    ScopedTz tz("Europe/Berlin");
    KeldrinTime t = at(kh_test::kT0);
    struct Case {
        SHORT width;
        const char* text;
        bool zero;
    };
    const Case cases[] = {{20, "15-MAR-2024 11:00:00", false},
                          {25, "15-MAR-2024 11:00:00", true},
                          {5, "15-MA", false}};
    for (const auto& c : cases) {
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        SHORT len = -1;
        ASSERT_EQ(XTS2ASCII(&t, buf, c.width, &len), KELDRIN_OK);
        EXPECT_EQ(len, static_cast<SHORT>(std::strlen(c.text)));
        EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), c.text);
        EXPECT_EQ(buf[len], c.zero ? '\0' : '#');
    }
    char buf[8] = "keep";
    SHORT len = 3;
    EXPECT_EQ(XTS2ASCII(&kNone, buf, 20, &len), KELDRIN_E_BADTIME);
    EXPECT_EQ(XTS2ASCII(&t, buf, 0, &len), KELDRIN_E_BADARG);
    EXPECT_STREQ(buf, "keep");
}

TEST(HistorianClock, GivesTheInjectedTimeOrTheSystemTime) {
    KhSim_Reset();
    KeldrinTime fixed = at(4000000000u, 7), now = kNone;
    KhSim_SetClock(&fixed);
    ASSERT_EQ(GETDBXTIM(&now), KELDRIN_OK);
    EXPECT_EQ(now.Seconds, fixed.Seconds);
    EXPECT_EQ(now.Micro, 7u);
    KhSim_SetClock(nullptr);
    ASSERT_EQ(GETDBXTIM(&now), KELDRIN_OK);
    EXPECT_GT(now.Seconds, kh_test::kT0);
    EXPECT_LT(now.Seconds, 4000000000u);
}

}  // namespace
