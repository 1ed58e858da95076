// The interval grid of a schedule group in historian times.
#pragma once

#include "keldrin_api.h"
#include "oleaut.h"

// The point of the grid of `rate` (days) through firstRunTime (a local OLE
// date) nearest to start, a tie going away from firstRunTime. result is set
// to firstRunTime before start is read, so with one variable as both the
// answer is firstRunTime itself; no time when firstRunTime is not set
// (below 1.0).
void GetPreviousScheduledTimeForInterval(double rate, DATE firstRunTime, const KeldrinTime* start,
                                         KeldrinTime* result);
