// The time the run in progress is scheduled for: the store time a stamped
// run was given, else the last run time of the group that started the run,
// else now.
#include <cstring>

#include "calculation/calculation.h"
#include "frame/time_conversions.h"
#include "frame/trace.h"

void CMvCalculation::SetStoreTime(const LONG* time) {
    mv::ObjectLock lock(this);
    m_StoreTime[0] = time ? time[0] : -1;
    m_StoreTime[1] = time ? time[1] : -1;
}

// The group is taken with a reference under the lock and asked outside it,
// so that a run ending meanwhile cannot free it and no group method runs
// under the calculation's lock.
HRESULT CMvCalculation::ScheduledTimeOf(const char* name, bool utc, DATE* out) {
    return MvMethodFrame(name, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        LONG store[2];
        mv::ComPtr<IMvScheduleGroup> group;
        {
            mv::ObjectLock lock(this);
            std::memcpy(store, m_StoreTime, sizeof store);
            group = m_RunScheduleGroup;
        }
        if (store[0] != -1) {
            KeldrinTime time{};
            std::memcpy(&time, store, sizeof time);
            HistorianTimeToDate(1, &time, out, utc);
        } else if (group) {
            (void)(utc ? group->get_Last_GMT_RunTime(out) : group->get_LastRunTime(out));
        } else if (utc) {
            SYSTEMTIME now{};
            GetSystemTime(&now);
            now.wMilliseconds = 0;
            (void)SystemTimeToVariantTime(&now, out);
        } else {
            *out = CurrentDateTime();
        }
        return S_OK;
    });
}

HRESULT CMvCalculation::GetScheduledTime(DATE* ReturnValue) {
    return ScheduledTimeOf("CMvCalculation::GetScheduledTime", false, ReturnValue);
}

HRESULT CMvCalculation::GetScheduledTimeUtc(DATE* ReturnValue) {
    return ScheduledTimeOf("CMvCalculation::GetScheduledTimeUtc", true, ReturnValue);
}
