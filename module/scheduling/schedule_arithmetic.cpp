// Schedule-time arithmetic on local OLE dates.
#include "scheduling/schedule_arithmetic.h"

#include <cmath>

#include "oleaut.h"

namespace {

// An interval below a tenth of a second cannot be told apart by the
// historian's times; such a rate (and any rate not positive) has no grid.
constexpr double kSmallestRate = 1.0 / 864000.0;
// Beyond this many steps the grid is reached by one multiplication instead
// of repeated additions, so that no reference makes the loop run for long.
constexpr double kMostAddedSteps = 1e6;
constexpr double kDaysPerWeek = 7.0;

bool CalendarFields(double date, SYSTEMTIME* fields) {
    *fields = {};
    return VariantTimeToSystemTime(date, fields) != 0;
}

// The date of the fields, valid only when it reads back to the same fields
// (so 30 February is no date rather than 1 March).
bool BuildDate(WORD year, WORD month, WORD day, double* date) {
    SYSTEMTIME fields = {};
    fields.wYear = year;
    fields.wMonth = month;
    fields.wDay = day;
    if (!SystemTimeToVariantTime(&fields, date)) return false;
    SYSTEMTIME back = {};
    return CalendarFields(*date, &back) && back.wYear == year && back.wMonth == month &&
           back.wDay == day && back.wHour == 0 && back.wMinute == 0 && back.wSecond == 0;
}

// A day number as a calendar field: days outside 1..31 are no day at all.
bool DayField(LONG day, WORD* field) {
    if (day < 1 || day > 31) return false;
    *field = static_cast<WORD>(day);
    return true;
}

void NextMonth(WORD* year, WORD* month) {
    if (++*month > 12) {
        *month = 1;
        ++*year;
    }
}

void PreviousMonth(WORD* year, WORD* month) {
    if (--*month == 0) {
        *month = 12;
        --*year;
    }
}

// The run of a monthly schedule in one month: the month's clamped day at
// midnight plus the offset; false when that day does not exist there.
bool MonthlyRun(LONG dayOfMonth, WORD year, WORD month, double offset, double* run) {
    WORD day = 0;
    double date = 0.0;
    if (!DayField(ClampDayOfMonth(dayOfMonth, month), &day) || !BuildDate(year, month, day, &date))
        return false;
    *run = date + offset;
    return true;
}

// The month in which a monthly search starts: the month of the reference
// less the offset. No run of an earlier month can lie after the reference,
// and an offset of days may carry the run of that month past it.
bool SearchStart(double reference, double offset, WORD* year, WORD* month) {
    SYSTEMTIME fields = {};
    if (!CalendarFields(reference - offset, &fields)) return false;
    *year = fields.wYear;
    *month = fields.wMonth;
    return true;
}

// The earliest monthly run strictly after the reference.
double NextMonthly(LONG dayOfMonth, double reference, double offset) {
    WORD year = 0, month = 0;
    if (!SearchStart(reference, offset, &year, &month)) return 0.0;
    for (int tries = 0; tries < 13; ++tries, NextMonth(&year, &month)) {
        double run = 0.0;
        if (MonthlyRun(dayOfMonth, year, month, offset, &run) && run > reference) return run;
    }
    return 0.0;
}

// The latest monthly run at or before the reference.
double PreviousMonthly(LONG dayOfMonth, double reference, double offset) {
    WORD year = 0, month = 0;
    if (!SearchStart(reference, offset, &year, &month)) return 0.0;
    for (int tries = 0; tries < 13; ++tries, PreviousMonth(&year, &month)) {
        double run = 0.0;
        if (MonthlyRun(dayOfMonth, year, month, offset, &run) && run <= reference) return run;
    }
    return 0.0;
}

double NextLastDay(const SYSTEMTIME& ref, double reference, double offset) {
    WORD year = ref.wYear, month = ref.wMonth, day = ref.wDay;
    for (int tries = 0; tries < 13; ++tries) {
        double candidate = 0.0;
        if (!BuildDate(year, month, day, &candidate)) return 0.0;
        const double run = candidate - 1.0 + offset;
        if (run > reference) return run;
        NextMonth(&year, &month);
        day = 1;
    }
    return 0.0;
}

double NextWeekly(LONG dayOfWeek, const SYSTEMTIME& ref, double reference, double offset) {
    if (dayOfWeek < 1 || dayOfWeek > 7) return 0.0;
    double midnight = 0.0;
    if (!BuildDate(ref.wYear, ref.wMonth, ref.wDay, &midnight)) return 0.0;
    SYSTEMTIME fields = {};
    if (!CalendarFields(midnight, &fields)) return 0.0;
    double run = midnight - (fields.wDayOfWeek + 1) + dayOfWeek + offset;
    // Whole weeks towards the reference, then the first run strictly after
    // it, whatever the offset.
    const double weeks = std::floor((reference - run) / kDaysPerWeek);
    if (std::isfinite(weeks) && std::fabs(weeks) < 1e6) run += weeks * kDaysPerWeek;
    for (int tries = 0; tries < 4 && reference >= run; ++tries) run += kDaysPerWeek;
    for (int tries = 0; tries < 4 && run - kDaysPerWeek > reference; ++tries) run -= kDaysPerWeek;
    return run > reference ? run : 0.0;
}

double NextInterval(double rate, const SYSTEMTIME& ref, double reference, double offset) {
    if (!(rate >= kSmallestRate) || !std::isfinite(rate)) return 0.0;
    SYSTEMTIME rateFields = {};
    const bool days = std::trunc(rate) >= 1.0;
    const bool hours = !days && CalendarFields(rate, &rateFields) && rateFields.wHour >= 1;
    double anchor = 0.0;
    if (!BuildDate(ref.wYear, ref.wMonth, days ? 1 : ref.wDay, &anchor)) return 0.0;
    if (!days && !hours) anchor += ref.wHour / 24.0;
    double run = anchor + offset;
    const bool strictly = days || hours;
    auto behind = [&](double time) { return strictly ? reference >= time : reference > time; };
    // The additions of an ordinary schedule are kept, so that its grid
    // points round as they always did; a far reference is jumped to first.
    const double steps = (reference - run) / rate;
    if (steps > kMostAddedSteps) run += std::floor(steps - 2.0) * rate;
    for (int added = 0; behind(run) && added <= kMostAddedSteps + 4; ++added) run += rate;
    return behind(run) ? 0.0 : run;
}

}  // namespace

LONG ClampDayOfMonth(LONG day, LONG month) {
    if (day <= 28) return day;
    if (month == 2) return 28;
    if (day <= 30) return day;
    if (month == 4 || month == 6 || month == 9 || month == 11) return 30;
    return day;
}

double ComputeNextScheduleTime(double rate, double offset, LONG dayOfMonth, LONG dayOfWeek,
                               double reference) {
    SYSTEMTIME ref = {};
    if (!CalendarFields(reference, &ref) || !std::isfinite(offset)) return 0.0;
    double next = 0.0;
    if (dayOfMonth > 0)
        next = NextMonthly(dayOfMonth, reference, offset);
    else if (dayOfMonth < 0)
        next = NextLastDay(ref, reference, offset);
    else if (dayOfWeek != 0)
        next = NextWeekly(dayOfWeek, ref, reference, offset);
    else
        next = NextInterval(rate, ref, reference, offset);
    // A time beyond the range of dates is no time either.
    SYSTEMTIME fields = {};
    return CalendarFields(next, &fields) ? next : 0.0;
}

double NextTimeByDayOfMonth(LONG dayOfMonth, double reference, double rate, double offset) {
    return ComputeNextScheduleTime(rate, offset, dayOfMonth, 0, reference);
}

double NextTimeByDayOfWeek(LONG dayOfWeek, double reference, double rate, double offset) {
    return ComputeNextScheduleTime(rate, offset, 0, dayOfWeek, reference);
}

double NextTimeByInterval(double reference, double rate, double offset) {
    return ComputeNextScheduleTime(rate, offset, 0, 0, reference);
}

double PreviousTimeByDayOfMonth(LONG dayOfMonth, double reference, double rate, double offset) {
    const double next = NextTimeByDayOfMonth(dayOfMonth, reference, rate, offset);
    if (next == 0.0) return 0.0;
    if (dayOfMonth > 0) return PreviousMonthly(dayOfMonth, reference, offset);
    // The last day of the month before the month of the next run's day, at
    // midnight plus the offset, whole days included: the day before the first
    // of the next run's month.
    SYSTEMTIME fields = {};
    double date = 0.0;
    if (!CalendarFields(next - offset, &fields) ||
        !BuildDate(fields.wYear, fields.wMonth, 1, &date))
        return 0.0;
    return date - 1.0 + offset;
}

double PreviousTimeByDayOfWeek(LONG dayOfWeek, double reference, double rate, double offset) {
    return NextTimeByDayOfWeek(dayOfWeek, reference, rate, offset) - kDaysPerWeek;
}

double PreviousTimeByInterval(double reference, double rate, double offset) {
    // No next time (a refused rate among them) is no previous time either.
    const double next = NextTimeByInterval(reference, rate, offset);
    return next == 0.0 ? 0.0 : next - rate;
}
