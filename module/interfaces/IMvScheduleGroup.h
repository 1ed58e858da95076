// IMvScheduleGroup: a group of calculations that runs on one schedule. Only
// the interface's identity is declared here, for the calculation operations
// that take a group; its members come with the schedule-group class.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvScheduleGroup : IDispatch {
protected:
    ~IMvScheduleGroup() = default;
};
MV_IID_OF(IMvScheduleGroup, IID_IMvScheduleGroup);
