// A calculation placing historian times on its group's schedule, in local
// time zones with daylight-saving changes, over the historian stand-in
// without the older client library (times go through keldrin_api).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <string>

#include "calculation/calculation.h"
#include "frame/keldrin_client.h"
#include "frame/time_conversions.h"
#include "keldrin_sim.h"
#include "scheduling/calculation_schedule_times.h"
#include "scheduling/schedule_group.h"

namespace {

constexpr double kHour = 1.0 / 24;
constexpr double kMinute = kHour / 60;

double At(const char* text) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    std::sscanf(text, "%u-%u-%u %u:%u:%u", &y, &mo, &d, &h, &mi, &s);
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    double date = 0.0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

KeldrinTime T(const char* local) {
    KeldrinTime t = kNoKeldrinTime;
    DateToHistorianTime(1, At(local), &t, false);
    return t;
}

std::string Local(const KeldrinTime& t) {
    if (t.Seconds == KELDRIN_TIME_NONE_WORD) return "none";
    DATE date = 0.0;
    HistorianTimeToDate(1, &t, &date, false);
    SYSTEMTIME st = {};
    VariantTimeToSystemTime(date, &st);
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond);
    return text;
}

class ScheduleTimesTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        setenv("TZ", GetParam(), 1);
        tzset();
        KhSim_Reset();
        KhSim_SetOlderLibraryPresent(0);
        ResetKeldcoreLoader();
        ASSERT_EQ(mv::MakeComObject(&calc_), S_OK);
        ASSERT_EQ(mv::MakeComObject(&group_), S_OK);
    }
    void TearDown() override {
        KhSim_Reset();
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void Schedule(double rate, LONG dayOfMonth = 0, LONG dayOfWeek = 0, double offset = 0.0,
                  LONG builtin = 0) {
        group_->put_ScheduleRate(rate);
        group_->put_ScheduleDayOfMonth(dayOfMonth);
        group_->put_ScheduleDayOfWeek(dayOfWeek);
        group_->put_ScheduleOffset(offset);
        group_->put_BuiltinSchedule(builtin);
    }
    std::string Last(const char* start, const char* limit) {
        const KeldrinTime s = T(start), l = T(limit);
        KeldrinTime result = kNoKeldrinTime;
        calc_->GetLastScheduledTime(group_.get(), &s, &l, &result);
        return Local(result);
    }
    std::string Next(const char* start) {
        const KeldrinTime s = T(start);
        KeldrinTime result = kNoKeldrinTime;
        calc_->GetNextScheduledTime(group_.get(), &s, &result);
        return Local(result);
    }
    std::string Previous(const char* start) {
        const KeldrinTime s = T(start);
        KeldrinTime result = kNoKeldrinTime;
        calc_->GetPreviousScheduledTime(group_.get(), &s, &result);
        return Local(result);
    }

    mv::ComPtr<mv::ComObject<CMvCalculation>> calc_;
    mv::ComPtr<mv::ComObject<CMvScheduleGroup>> group_;
};

TEST_P(ScheduleTimesTest, IntervalGroupsStepOnTheirGrid) {
    Schedule(kHour);
    EXPECT_EQ(Last("2024-03-15 10:00", "2024-03-15 12:59:59"), "2024-03-15 12:00:00");
    EXPECT_EQ(Last("2024-03-15 10:00", "2024-03-15 10:59:59"), "2024-03-15 10:00:00");
    EXPECT_EQ(Last("2024-03-15 10:00", "2024-03-15 09:00"), "2024-03-15 10:00:00");
    EXPECT_EQ(Next("2024-03-15 10:20"), "2024-03-15 11:20:00");

    group_->put_FirstRunTime(At("2024-03-15 00:00"));
    EXPECT_EQ(Previous("2024-03-15 10:20"), "2024-03-15 10:00:00");
    EXPECT_EQ(Previous("2024-03-15 10:40"), "2024-03-15 11:00:00");
    EXPECT_EQ(Previous("2024-03-15 09:30"), "2024-03-15 10:00:00");
    EXPECT_EQ(Previous("2024-03-14 21:40"), "2024-03-14 22:00:00");
    // One variable as start and result gives the first run time.
    KeldrinTime same = T("2024-03-15 10:20");
    calc_->GetPreviousScheduledTime(group_.get(), &same, &same);
    EXPECT_EQ(Local(same), "2024-03-15 00:00:00");
    group_->put_FirstRunTime(0.0);
    EXPECT_EQ(Previous("2024-03-15 10:20"), "none");

    // On the fall-back day the local day has 25 hours.
    if (std::string(GetParam()) == "America/New_York")
        EXPECT_EQ(Last("2024-11-03 00:00", "2024-11-03 23:59:59"), "2024-11-03 23:00:00");
    else
        EXPECT_EQ(Last("2024-10-27 00:00", "2024-10-27 23:59:59"), "2024-10-27 23:00:00");
}

TEST_P(ScheduleTimesTest, WeekAndDayGroupsKeepTheirLocalTimeAcrossChanges) {
    Schedule(0.0, 0, 2, 0.375);
    EXPECT_EQ(Next("2024-03-15 10:00"), "2024-03-18 09:00:00");
    EXPECT_EQ(Previous("2024-03-15 10:00"), "2024-03-11 09:00:00");
    EXPECT_EQ(Last("2024-03-15 10:00", "2024-03-27 00:00"), "2024-03-25 09:00:00");

    Schedule(1.0);
    EXPECT_EQ(Last("2024-03-08 06:00", "2024-04-02 07:00"), "2024-04-02 06:00:00");
    EXPECT_EQ(Last("2024-10-25 06:00", "2024-11-05 07:00"), "2024-11-05 06:00:00");
    for (auto [rate, expected] :
         {std::pair{1.4999, "2024-03-16 22:00:00"}, std::pair{0.0007, "2024-03-15 10:01:00"}}) {
        const KeldrinTime start = T("2024-03-15 10:00");
        KeldrinTime next = kNoKeldrinTime;
        calc_->GetNextScheduledDay(rate, &start, &next);
        EXPECT_EQ(Local(next), expected) << rate;
    }

    // Weekly runs at a skipped and a repeated local time move on, never back.
    const bool newYork = std::string(GetParam()) == "America/New_York";
    Schedule(0.0, 0, 1, 2.5 * kHour);
    const std::string skipped = Next("2024-03-09 12:00");
    EXPECT_EQ(skipped, newYork ? "2024-03-10 03:30:00" : "2024-03-10 02:30:00");
    EXPECT_EQ(Last("2024-03-09 12:00", "2024-04-08 00:00"), "2024-04-07 02:30:00");
    Schedule(0.0, 0, 1, 1.5 * kHour);
    EXPECT_EQ(Last("2024-10-20 12:00", "2024-11-18 00:00"), "2024-11-17 01:30:00");
    EXPECT_EQ(Next("2024-11-03 01:30"), "2024-11-10 01:30:00");

    // A daily run at 02:30 falls at 03:30 on the day the clocks go forward:
    // just before then, the previous run is the day before's.
    const std::string forward = newYork ? "2024-03-10" : "2024-03-31";
    Schedule(1.0, 0, 0, 2.5 * kHour);
    EXPECT_EQ(Previous((forward + " 03:29:59").c_str()),
              newYork ? "2024-03-09 02:30:00" : "2024-03-30 02:30:00");
    EXPECT_EQ(Previous((forward + " 03:30").c_str()), forward + " 03:30:00");
}

TEST_P(ScheduleTimesTest, MonthlyOffsetsOfDaysAndFineGridsOverDecadesReachTheirLimit) {
    // The 31 March run falls on 1 April at 06:00.
    Schedule(0.0, 31, 0, 1.25);
    EXPECT_EQ(Next("2024-04-01 03:00"), "2024-04-01 06:00:00");
    EXPECT_EQ(Previous("2024-04-01 03:00"), "2024-02-29 06:00:00");
    EXPECT_EQ(Previous("2024-04-01 06:00"), "2024-04-01 06:00:00");
    EXPECT_EQ(Last("2024-04-01 03:00", "2024-04-15 00:00"), "2024-04-01 06:00:00");

    // A tenth of a second over thirty years is more steps than 32 bits hold.
    Schedule(1.0 / 864000);
    EXPECT_EQ(Last("2024-01-01 00:00", "2054-01-01 00:00"), "2054-01-01 00:00:00");
}

TEST_P(ScheduleTimesTest, AWalkThatDoesNotMoveStopsAtItsFirstStep) {
    // While the differences fail they read 0.0: the first candidate does not
    // count as a move, so the walk ends at start. A walk without that check
    // would take a week per failed call and end a year on.
    Schedule(0.0, 0, 2, 0.375);
    const LONG before = KhSim_CallCount(KHSIM_BOTH, "CALCDELXTM");
    KhSim_FailCall(KHSIM_BOTH, "CALCDELXTM", 1, 0, 0, 52);
    EXPECT_EQ(Last("2024-03-15 10:00", "2024-03-16 00:00"), "2024-03-15 10:00:00");
    EXPECT_EQ(KhSim_CallCount(KHSIM_BOTH, "CALCDELXTM") - before, 1);
}

TEST_P(ScheduleTimesTest, BadRatesAndFailingTimeCallsEndAtStartOrNone) {
    for (double rate : {0.0, -1.0, 1e-12}) {
        for (LONG builtin : {0, 864000}) {
            Schedule(rate, 0, 0, 0.0, builtin);
            EXPECT_EQ(Last("2024-03-15 10:00", "2024-03-16 10:00"), "2024-03-15 10:00:00") << rate;
        }
    }
    Schedule(0.0, 0, 0, 0.0, 864000);
    EXPECT_EQ(Next("2024-03-15 10:00"), "none") << "a day group of rate 0 has no next time";
    EXPECT_EQ(Previous("2024-03-15 10:00"), "none") << "nor a previous one";
    Schedule(-40000.0, 0, 0, 0.0, 864000);
    EXPECT_EQ(Previous("2024-03-15 10:00"), "none") << "a refused rate has no previous time";

    Schedule(1.0);
    for (const char* call : {"CALCDELXTM", "XTSPLUSDT", "XTS2DSPDT", "DSPDT2XTS"})
        KhSim_FailCall(KHSIM_BOTH, call, 1, 0, 0, -1);
    const KeldrinTime start = T("2024-03-15 10:00"), limit = T("2024-03-20 10:00");
    KeldrinTime result = kNoKeldrinTime;
    calc_->GetLastScheduledTime(group_.get(), &start, &limit, &result);
    EXPECT_EQ(result.Seconds, start.Seconds);
    Schedule(kHour);
    calc_->GetLastScheduledTime(group_.get(), &start, &limit, &result);
    EXPECT_EQ(result.Seconds, start.Seconds);

    // A start of no time leaves the result alone.
    KeldrinTime untouched = {7, 7};
    calc_->GetNextScheduledTime(group_.get(), &kNoKeldrinTime, &untouched);
    EXPECT_EQ(untouched.Seconds, 7u);
}

INSTANTIATE_TEST_SUITE_P(Zones, ScheduleTimesTest,
                         ::testing::Values("America/New_York", "Europe/Berlin"),
                         [](const auto& info) {
                             return std::string(info.param).substr(0, 6) == "Americ" ? "NewYork"
                                                                                     : "Berlin";
                         });

}  // namespace
