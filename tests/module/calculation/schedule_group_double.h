// A schedule group double: counts its references and answers its two last
// run times; every other member is E_NOTIMPL.
#pragma once

#include <atomic>

#include "interfaces/IMvScheduleGroup.h"

namespace calculation_test {

#define MV_GROUP_NOT_IMPL(Member, Params) \
    HRESULT Member Params override {      \
        return E_NOTIMPL;                 \
    }

class ScheduleGroupDouble : public IMvScheduleGroup {
public:
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG Release() override { return static_cast<ULONG>(--refs); }
    HRESULT get_LastRunTime(DATE* pVal) override { return *pVal = lastRunTime, S_OK; }
    HRESULT get_Last_GMT_RunTime(DATE* pVal) override { return *pVal = lastGmtRunTime, S_OK; }

    MV_GROUP_NOT_IMPL(GetTypeInfoCount, (UINT*))
    MV_GROUP_NOT_IMPL(GetTypeInfo, (UINT, LCID, ITypeInfo**))
    MV_GROUP_NOT_IMPL(GetIDsOfNames, (REFIID, LPOLESTR*, UINT, LCID, DISPID*))
    MV_GROUP_NOT_IMPL(Invoke,
                      (DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*))
    MV_GROUP_NOT_IMPL(get_Name, (BSTR*))
    MV_GROUP_NOT_IMPL(put_Name, (BSTR))
    MV_GROUP_NOT_IMPL(get_BuiltinSchedule, (LONG*))
    MV_GROUP_NOT_IMPL(put_BuiltinSchedule, (LONG))
    MV_GROUP_NOT_IMPL(get_ScheduleDayOfMonth, (LONG*))
    MV_GROUP_NOT_IMPL(put_ScheduleDayOfMonth, (LONG))
    MV_GROUP_NOT_IMPL(get_ScheduleDayOfWeek, (LONG*))
    MV_GROUP_NOT_IMPL(put_ScheduleDayOfWeek, (LONG))
    MV_GROUP_NOT_IMPL(get_ScheduleRate, (DATE*))
    MV_GROUP_NOT_IMPL(put_ScheduleRate, (DATE))
    MV_GROUP_NOT_IMPL(get_ScheduleOffset, (DATE*))
    MV_GROUP_NOT_IMPL(put_ScheduleOffset, (DATE))
    MV_GROUP_NOT_IMPL(put_LastRunTime, (DATE))
    MV_GROUP_NOT_IMPL(get_NextRunTime, (DATE*))
    MV_GROUP_NOT_IMPL(put_NextRunTime, (DATE))
    MV_GROUP_NOT_IMPL(get_RunTimeRate, (DATE*))
    MV_GROUP_NOT_IMPL(put_RunTimeRate, (DATE))
    MV_GROUP_NOT_IMPL(get_ExecutionTime, (LONG*))
    MV_GROUP_NOT_IMPL(put_ExecutionTime, (LONG))
    MV_GROUP_NOT_IMPL(get_ProcessingPriority, (LONG*))
    MV_GROUP_NOT_IMPL(put_ProcessingPriority, (LONG))
    MV_GROUP_NOT_IMPL(get_ComputedRunTime, (DATE*))
    MV_GROUP_NOT_IMPL(put_ComputedRunTime, (DATE))
    MV_GROUP_NOT_IMPL(get_Next_GMT_RunTime, (DATE*))
    MV_GROUP_NOT_IMPL(put_Next_GMT_RunTime, (DATE))
    MV_GROUP_NOT_IMPL(put_Last_GMT_RunTime, (DATE))
    MV_GROUP_NOT_IMPL(get_Calculations, (IMvObjCollection**))
    MV_GROUP_NOT_IMPL(AddCalculation, (BSTR, IMvCalculationRef**))
    MV_GROUP_NOT_IMPL(GetCalculation, (BSTR, IMvCalculationRef**))
    MV_GROUP_NOT_IMPL(Calculate, ())
    MV_GROUP_NOT_IMPL(RemoveCalculation, (BSTR))
    MV_GROUP_NOT_IMPL(SetOnSchedule, ())
    MV_GROUP_NOT_IMPL(ListContents, (VARIANT*))
    MV_GROUP_NOT_IMPL(get_OdmStatusXml, (BSTR*))
    MV_GROUP_NOT_IMPL(put_OdmStatusXml, (BSTR))
    MV_GROUP_NOT_IMPL(CalculateStoreForward, (VARIANT_BOOL))
    MV_GROUP_NOT_IMPL(IsScheduleDay, (VARIANT_BOOL*))
    MV_GROUP_NOT_IMPL(IsDayWeekOrMonth, (VARIANT_BOOL*))
    MV_GROUP_NOT_IMPL(CalculateMissingHistory, (VARIANT_BOOL))
    MV_GROUP_NOT_IMPL(get_FirstRunTime, (DATE*))
    MV_GROUP_NOT_IMPL(put_FirstRunTime, (DATE))
    MV_GROUP_NOT_IMPL(CheckStoreForward, (VARIANT_BOOL, VARIANT_BOOL))
    MV_GROUP_NOT_IMPL(get_Last_GMT_ModifiedTime, (DATE*))
    MV_GROUP_NOT_IMPL(put_Last_GMT_ModifiedTime, (DATE))

    std::atomic<int> refs{1};
    DATE lastRunTime = 0.0;
    DATE lastGmtRunTime = 0.0;
};

#undef MV_GROUP_NOT_IMPL

}  // namespace calculation_test
