// A schedule group whose members all answer E_NOTIMPL, for tests that need
// an IMvScheduleGroup with a few members of their own (IUnknown and
// IDispatch stay to the test).
#pragma once

#include "interfaces/IMvScheduleGroup.h"

class ScheduleGroupStub : public IMvScheduleGroup {
public:
#define MV_SCHEDULE_GROUP_STUB(Method, Args) \
    HRESULT Method Args override {           \
        return E_NOTIMPL;                    \
    }
    MV_SCHEDULE_GROUP_STUB(get_Name, (BSTR*))
    MV_SCHEDULE_GROUP_STUB(put_Name, (BSTR))
    MV_SCHEDULE_GROUP_STUB(get_BuiltinSchedule, (LONG*))
    MV_SCHEDULE_GROUP_STUB(put_BuiltinSchedule, (LONG))
    MV_SCHEDULE_GROUP_STUB(get_ScheduleDayOfMonth, (LONG*))
    MV_SCHEDULE_GROUP_STUB(put_ScheduleDayOfMonth, (LONG))
    MV_SCHEDULE_GROUP_STUB(get_ScheduleDayOfWeek, (LONG*))
    MV_SCHEDULE_GROUP_STUB(put_ScheduleDayOfWeek, (LONG))
    MV_SCHEDULE_GROUP_STUB(get_ScheduleRate, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_ScheduleRate, (DATE))
    MV_SCHEDULE_GROUP_STUB(get_ScheduleOffset, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_ScheduleOffset, (DATE))
    MV_SCHEDULE_GROUP_STUB(get_LastRunTime, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_LastRunTime, (DATE))
    MV_SCHEDULE_GROUP_STUB(get_NextRunTime, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_NextRunTime, (DATE))
    MV_SCHEDULE_GROUP_STUB(get_RunTimeRate, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_RunTimeRate, (DATE))
    MV_SCHEDULE_GROUP_STUB(get_ExecutionTime, (LONG*))
    MV_SCHEDULE_GROUP_STUB(put_ExecutionTime, (LONG))
    MV_SCHEDULE_GROUP_STUB(get_ProcessingPriority, (LONG*))
    MV_SCHEDULE_GROUP_STUB(put_ProcessingPriority, (LONG))
    MV_SCHEDULE_GROUP_STUB(get_ComputedRunTime, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_ComputedRunTime, (DATE))
    MV_SCHEDULE_GROUP_STUB(get_Next_GMT_RunTime, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_Next_GMT_RunTime, (DATE))
    MV_SCHEDULE_GROUP_STUB(get_Last_GMT_RunTime, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_Last_GMT_RunTime, (DATE))
    MV_SCHEDULE_GROUP_STUB(get_Calculations, (IMvObjCollection**))
    MV_SCHEDULE_GROUP_STUB(AddCalculation, (BSTR, IMvCalculationRef**))
    MV_SCHEDULE_GROUP_STUB(GetCalculation, (BSTR, IMvCalculationRef**))
    MV_SCHEDULE_GROUP_STUB(Calculate, ())
    MV_SCHEDULE_GROUP_STUB(RemoveCalculation, (BSTR))
    MV_SCHEDULE_GROUP_STUB(SetOnSchedule, ())
    MV_SCHEDULE_GROUP_STUB(ListContents, (VARIANT*))
    MV_SCHEDULE_GROUP_STUB(get_OdmStatusXml, (BSTR*))
    MV_SCHEDULE_GROUP_STUB(put_OdmStatusXml, (BSTR))
    MV_SCHEDULE_GROUP_STUB(CalculateStoreForward, (VARIANT_BOOL))
    MV_SCHEDULE_GROUP_STUB(IsScheduleDay, (VARIANT_BOOL*))
    MV_SCHEDULE_GROUP_STUB(IsDayWeekOrMonth, (VARIANT_BOOL*))
    MV_SCHEDULE_GROUP_STUB(CalculateMissingHistory, (VARIANT_BOOL))
    MV_SCHEDULE_GROUP_STUB(get_FirstRunTime, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_FirstRunTime, (DATE))
    MV_SCHEDULE_GROUP_STUB(CheckStoreForward, (VARIANT_BOOL, VARIANT_BOOL))
    MV_SCHEDULE_GROUP_STUB(get_Last_GMT_ModifiedTime, (DATE*))
    MV_SCHEDULE_GROUP_STUB(put_Last_GMT_ModifiedTime, (DATE))
#undef MV_SCHEDULE_GROUP_STUB
};
