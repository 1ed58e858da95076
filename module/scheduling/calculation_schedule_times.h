// The interval grid of a schedule group in historian times.
#pragma once

#include "keldrin_api.h"
#include "oleaut.h"

struct IMvScheduleGroup;

// The properties of a schedule group that its scheduled times follow.
struct GroupSchedule {
    LONG dayOfMonth = 0, dayOfWeek = 0;
    DATE rate = 0.0, offset = 0.0, firstRunTime = 0.0;
    bool dayWeekOrMonth = false, day = false;
    bool operator==(const GroupSchedule&) const = default;
};
// A group's schedule as it stands; a getter that fails leaves its default.
GroupSchedule ReadGroupSchedule(IMvScheduleGroup* group);

// The point of the grid of `rate` (days) through firstRunTime (a local OLE
// date) nearest to start, a tie going away from firstRunTime. result is set
// to firstRunTime before start is read, so with one variable as both the
// answer is firstRunTime itself; no time when firstRunTime is not set
// (below 1.0).
void GetPreviousScheduledTimeForInterval(double rate, DATE firstRunTime, const KeldrinTime* start,
                                         KeldrinTime* result);
