// The scope guard of a run's start, shared by the run driver and the
// store-and-forward driver.
#pragma once

#include "calculation/calculation.h"

// Undoes the start of a run on every road out of the run driver: the stack
// node goes, and the in-use mark and the run's schedule group are cleared
// (the group released after leaving the lock).
struct CMvCalculation::RunMark {
    CMvCalculation* calc;
    bool popped = false;
    bool ended = false;
    ~RunMark() {
        if (!popped) PopFromTLS();
        if (ended) return;
        IMvScheduleGroup* group = nullptr;
        {
            mv::ObjectLock lock(calc);
            group = std::exchange(calc->m_RunScheduleGroup, nullptr);
            calc->m_BeingCalculated = 0;
        }
        if (group) group->Release();
    }
};
