// Where a calculation's runs fall on its schedule group's schedule, in
// historian times. Day, week and month groups go through the schedule-time
// arithmetic on local dates; interval groups step in tenths of a second.
#include "scheduling/calculation_schedule_times.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "calculation/calculation.h"
#include "frame/diagnostic_log.h"
#include "frame/keldrin_client.h"
#include "frame/time_conversions.h"
#include "frame/trace.h"
#include "interfaces/IMvScheduleGroup.h"
#include "scheduling/schedule_arithmetic.h"

namespace {

constexpr double kTenthsPerDay = 864000.0;
constexpr int64_t kTenthsPerDayInt = 864000;
constexpr LONG kLocalTimes = 1;

bool IsNone(const KeldrinTime* time) {
    return time->Seconds == KELDRIN_TIME_NONE_WORD;
}

// A double truncated towards zero into an integer type, saturating.
template <class Integer = LONG>
Integer Saturate(double value) {
    using Limits = std::numeric_limits<Integer>;
    if (!(value == value)) return 0;
    // Both bounds are powers of two, exact as doubles.
    if (value >= -static_cast<double>(Limits::min())) return Limits::max();
    if (value <= static_cast<double>(Limits::min())) return Limits::min();
    return static_cast<Integer>(value);
}

double StepTenths(double rate) {
    return std::floor(rate * 24 * 60 * 600 + 0.5);
}

DATE ToLocalDate(const KeldrinTime* time) {
    DATE date = 0.0;
    HistorianTimeToDate(kLocalTimes, time, &date, false);
    return date;
}

KeldrinTime FromLocalDate(double date) {
    KeldrinTime time = kNoKeldrinTime;
    DateToHistorianTime(kLocalTimes, date, &time, false);
    return time;
}

using Schedule = GroupSchedule;

// Runs an internal operation: a start of no time is refused with an error
// line, an exception is caught and logged.
template <class Work>
void ScheduleStep(const char* name, IMvScheduleGroup* group, const KeldrinTime* start,
                  const KeldrinTime* result, Work&& work) {
    MvStepFrame step(name);
    try {
        if (!start || IsNone(start) || !group || !result) {
            g_DiagnosticLog.WriteLine(mv::ToUtf16(name), u"E_INVALIDARG");
            return;
        }
        EnsureKeldrinClientStarted();
        work();
    } catch (...) {
        MvTraceMethodException(name);
    }
}

}  // namespace

GroupSchedule ReadGroupSchedule(IMvScheduleGroup* group) {
    GroupSchedule s;
    VARIANT_BOOL any = VARIANT_FALSE, day = VARIANT_FALSE;
    (void)group->IsDayWeekOrMonth(&any);
    (void)group->IsScheduleDay(&day);
    (void)group->get_ScheduleDayOfMonth(&s.dayOfMonth);
    (void)group->get_ScheduleDayOfWeek(&s.dayOfWeek);
    (void)group->get_ScheduleRate(&s.rate);
    (void)group->get_ScheduleOffset(&s.offset);
    (void)group->get_FirstRunTime(&s.firstRunTime);
    s.dayWeekOrMonth = any != VARIANT_FALSE;
    s.day = day != VARIANT_FALSE;
    return s;
}

void CMvCalculation::GetLastScheduledTime(IMvScheduleGroup* group, const KeldrinTime* start,
                                          const KeldrinTime* limit, KeldrinTime* result) {
    ScheduleStep("CMvCalculation::GetLastScheduledTime", group, start, result, [&] {
        *result = *start;
        if (!limit || IsNone(limit)) return;
        const Schedule s = ReadGroupSchedule(group);
        // Each step moves strictly forward and stays within limit; a step
        // that does not move (a failing time call, a rate below a minute, no
        // next time) ends the walk.
        auto walk = [&](auto next) {
            for (;;) {
                const KeldrinTime candidate = next(*result);
                if (IsNone(&candidate) || L_CALCDELXTM(&candidate, result) <= 0.0 ||
                    L_CALCDELXTM(&candidate, limit) > 0.0)
                    return;
                *result = candidate;
            }
        };
        if (s.dayWeekOrMonth && !s.day) {
            if (s.dayOfMonth == 0 && s.dayOfWeek == 0) return;
            walk([&](const KeldrinTime& from) {
                const DATE date = ToLocalDate(&from);
                return FromLocalDate(
                    s.dayOfMonth != 0 ? NextTimeByDayOfMonth(s.dayOfMonth, date, s.rate, s.offset)
                                      : NextTimeByDayOfWeek(s.dayOfWeek, date, s.rate, s.offset));
            });
        } else if (s.day) {
            walk([&](const KeldrinTime& from) {
                KeldrinTime next = kNoKeldrinTime;
                GetNextScheduledDay(s.rate, &from, &next);
                return next;
            });
        } else {
            const double step = StepTenths(s.rate);
            if (!(step > 0.0)) return;
            // Counted in 64 bits: a fine grid over decades has more steps than
            // 32 bits hold.
            const int64_t n = Saturate<int64_t>(L_CALCDELXTM(limit, start) / step);
            if (n < 1) return;
            const double tenths = static_cast<double>(n) * step;
            (void)L_XTSPLUSDT(result, &tenths);
        }
    });
}

void CMvCalculation::GetNextScheduledDay(double rate, const KeldrinTime* start,
                                         KeldrinTime* result) {
    MvStepFrame step("CMvCalculation::GetNextScheduledDay");
    if (!start || !result) return;
    LONG day = 0, tenths = 0;
    (void)L_XTS2DSPDT(start, &day, &tenths);
    const int64_t minutes = Saturate(std::floor(rate * 24 * 60 + 0.5));
    const int64_t total = static_cast<int64_t>(day) * kTenthsPerDayInt + tenths + minutes * 600;
    // Floor division, so that a time before day 0 keeps tenths within a day.
    int64_t days = total / kTenthsPerDayInt;
    int64_t rest = total % kTenthsPerDayInt;
    if (rest < 0) {
        rest += kTenthsPerDayInt;
        --days;
    }
    (void)L_DSPDT2XTS(static_cast<LONG>(days), static_cast<LONG>(rest), result);
}

void CMvCalculation::GetNextScheduledTime(IMvScheduleGroup* group, const KeldrinTime* start,
                                          KeldrinTime* result) {
    ScheduleStep("CMvCalculation::GetNextScheduledTime", group, start, result, [&] {
        const Schedule s = ReadGroupSchedule(group);
        if (s.dayWeekOrMonth) {
            const DATE date = ToLocalDate(start);
            const double next =
                s.dayOfMonth != 0  ? NextTimeByDayOfMonth(s.dayOfMonth, date, s.rate, s.offset)
                : s.dayOfWeek != 0 ? NextTimeByDayOfWeek(s.dayOfWeek, date, s.rate, s.offset)
                                   : NextTimeByInterval(date, s.rate, s.offset);
            *result = FromLocalDate(next);
            return;
        }
        const double step = StepTenths(s.rate);
        *result = *start;
        (void)L_XTSPLUSDT(result, &step);
    });
}

void CMvCalculation::GetPreviousScheduledTime(IMvScheduleGroup* group, const KeldrinTime* start,
                                              KeldrinTime* result) {
    ScheduleStep("CMvCalculation::GetPreviousScheduledTime", group, start, result, [&] {
        const Schedule s = ReadGroupSchedule(group);
        if (!s.dayWeekOrMonth) {
            GetPreviousScheduledTimeForInterval(s.rate, s.firstRunTime, start, result);
            return;
        }
        auto previousOf = [&](DATE date) {
            return s.dayOfMonth != 0
                       ? PreviousTimeByDayOfMonth(s.dayOfMonth, date, s.rate, s.offset)
                   : s.dayOfWeek != 0 ? PreviousTimeByDayOfWeek(s.dayOfWeek, date, s.rate, s.offset)
                                      : PreviousTimeByInterval(date, s.rate, s.offset);
        };
        double previous = previousOf(ToLocalDate(start));
        *result = FromLocalDate(previous);
        // A local time in the hour skipped when the clocks go forward converts
        // to past that hour's start, which can lie after start: the scheduled
        // time before it is then the previous one. Bounded, as a rate below a
        // minute would step through the skipped hour slowly.
        constexpr double kTenthInDays = 1.0 / kTenthsPerDay;
        for (int tries = 0; tries < 64 && !IsNone(result) && L_CALCDELXTM(result, start) > 0.0;
             ++tries) {
            previous = previousOf(previous - kTenthInDays);
            *result = FromLocalDate(previous);
        }
    });
}

void GetPreviousScheduledTimeForInterval(double rate, DATE firstRunTime, const KeldrinTime* start,
                                         KeldrinTime* result) {
    const KeldrinTime first = FromLocalDate(firstRunTime);
    if (g_DiagnosticLog.IsOn(LogSteps)) {
        char text[21] = {};
        SHORT length = 0;
        (void)L_XTS2ASCII(&first, text, 20, &length);
        text[length >= 0 && length <= 20 ? length : 20] = '\0';
        MvLogLine({"GetPreviousScheduledTimeForInterval( firstRunTime = ", text, ". )"});
    }
    // Set before start is read: store-and-forward passes one variable as
    // both and relies on getting the first run time back.
    *result = first;
    if (IsNone(&first) || !start || IsNone(start)) return;
    const double step = StepTenths(rate);
    if (!(step > 0.0)) return;
    const double e = L_CALCDELXTM(&first, start);
    // Counted in 64 bits, as in GetLastScheduledTime.
    const int64_t n = Saturate<int64_t>((std::fabs(e) + step / 2.0) / step);
    double delta = static_cast<double>(n) * step;
    if (e > 0.0) delta = -delta;
    (void)L_XTSPLUSDT(result, &delta);
}
