// Schedule-time arithmetic: the next and previous run times of a monthly,
// last-day, weekly or interval schedule, on local OLE dates.
//
// rate and offset are in days; dayOfMonth 0 means no monthly schedule, a
// positive day runs on that (clamped) day, a negative one on the last day of
// the month; dayOfWeek 0 means no weekly schedule, 1 to 7 are Sunday to
// Saturday. dayOfMonth wins over dayOfWeek, either over the interval. A
// result of 0.0 (or, for the previous weekly time of a bad weekday, -7.0)
// means no run time. Pure functions, callable from any thread.
#pragma once

#include "base.h"

// The day to use in a month: days above 28 become 28 in February and days
// above 30 become 30 in the 30-day months; other days are unchanged.
LONG ClampDayOfMonth(LONG day, LONG month);

// The first run time strictly after the reference (interval rates below one
// hour: at or after it), or 0.0. A monthly run is the month's clamped day at
// midnight plus the offset, whole days included, so it may fall in the month
// after its day.
double ComputeNextScheduleTime(double rate, double offset, LONG dayOfMonth, LONG dayOfWeek,
                               double reference);

double NextTimeByDayOfMonth(LONG dayOfMonth, double reference, double rate, double offset);
double NextTimeByDayOfWeek(LONG dayOfWeek, double reference, double rate, double offset);
double NextTimeByInterval(double reference, double rate, double offset);

// The run before the next one: for a monthly schedule the latest run at or
// before the reference; 0.0 when there is no next run.
double PreviousTimeByDayOfMonth(LONG dayOfMonth, double reference, double rate, double offset);
double PreviousTimeByDayOfWeek(LONG dayOfWeek, double reference, double rate, double offset);
double PreviousTimeByInterval(double reference, double rate, double offset);
