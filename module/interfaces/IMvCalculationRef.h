// IMvCalculationRef: a schedule group's member, a by-name reference to a
// calculation that is found (and loaded when needed) at each use through the
// active-calculation cache, and to which the group's runs are passed on.
#pragma once

#include "comobj.h"
// Defines IMvScheduleGroup first; both dispatch tables stand below.
#include "interfaces/IMvScheduleGroup.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalculationRef : IDispatch {
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    // Runs the calculation; S_OK without running when it cannot be loaded.
    virtual HRESULT Calculate() = 0;
    // Sets the calculation's OnSchedule to 1; E_FAIL when it cannot be loaded.
    virtual HRESULT SetOnSchedule() = 0;
    // The calculation's OnSchedule, or -1 and E_FAIL when it cannot be loaded.
    virtual HRESULT GetCalculationIndex(LONG* Index) = 0;
    virtual HRESULT CalculateStoreForward(VARIANT_BOOL Enabled,
                                          IMvScheduleGroup* ScheduleGroup) = 0;
    // E_NOTIMPL.
    virtual HRESULT CalculateMissingHistory(VARIANT_BOOL Enabled,
                                            IMvScheduleGroup* ScheduleGroup) = 0;
    // Passes the check on only to a calculation catching up on history,
    // unless ForceChecking.
    virtual HRESULT CheckStoreForward(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup,
                                      VARIANT_BOOL ForceChecking) = 0;

protected:
    ~IMvCalculationRef() = default;
};
MV_IID_OF(IMvCalculationRef, IID_IMvCalculationRef);

enum : DISPID {
    DISPID_MvCalculationRef_Name = 248,
    DISPID_MvCalculationRef_Calculate = 1,
    DISPID_MvCalculationRef_SetOnSchedule = 2,
    DISPID_MvCalculationRef_GetCalculationIndex = 3,
    DISPID_MvCalculationRef_CalculateStoreForward = 4,
    DISPID_MvCalculationRef_CalculateMissingHistory = 5,
    DISPID_MvCalculationRef_CheckStoreForward = 6,
};

#define MV_CALCULATION_REF_METHOD(Name, ...)                         \
    mv::Method<&IMvCalculationRef::Name __VA_OPT__(, ) __VA_ARGS__>( \
        DISPID_MvCalculationRef_##Name, u## #Name)

MV_DISPATCH_TABLE(
    IMvCalculationRef,
    mv::PropGet<&IMvCalculationRef::get_Name>(DISPID_MvCalculationRef_Name, u"Name"),
    mv::PropPut<&IMvCalculationRef::put_Name>(DISPID_MvCalculationRef_Name, u"Name"),
    MV_CALCULATION_REF_METHOD(Calculate), MV_CALCULATION_REF_METHOD(SetOnSchedule),
    MV_CALCULATION_REF_METHOD(GetCalculationIndex),
    MV_CALCULATION_REF_METHOD(CalculateStoreForward, VT_BOOL).Names(u"Enabled,ScheduleGroup"),
    MV_CALCULATION_REF_METHOD(CalculateMissingHistory, VT_BOOL).Names(u"Enabled,ScheduleGroup"),
    MV_CALCULATION_REF_METHOD(CheckStoreForward, VT_BOOL, VT_EMPTY, VT_BOOL)
        .Names(u"Enabled,ScheduleGroup,ForceChecking"))

#undef MV_CALCULATION_REF_METHOD

#define MV_SCHEDULE_GROUP_PROP(Name, ...)                                      \
    mv::PropGet<&IMvScheduleGroup::get_##Name __VA_OPT__(, ) __VA_ARGS__>(     \
        DISPID_MvScheduleGroup_##Name, u## #Name),                             \
        mv::PropPut<&IMvScheduleGroup::put_##Name __VA_OPT__(, ) __VA_ARGS__>( \
            DISPID_MvScheduleGroup_##Name, u## #Name)
#define MV_SCHEDULE_GROUP_METHOD(Name, ...)                                                       \
    mv::Method<&IMvScheduleGroup::Name __VA_OPT__(, ) __VA_ARGS__>(DISPID_MvScheduleGroup_##Name, \
                                                                   u## #Name)

MV_DISPATCH_TABLE(
    IMvScheduleGroup, MV_SCHEDULE_GROUP_PROP(Name), MV_SCHEDULE_GROUP_PROP(BuiltinSchedule),
    MV_SCHEDULE_GROUP_PROP(ScheduleDayOfMonth), MV_SCHEDULE_GROUP_PROP(ScheduleDayOfWeek),
    MV_SCHEDULE_GROUP_PROP(ScheduleRate, VT_DATE), MV_SCHEDULE_GROUP_PROP(ScheduleOffset, VT_DATE),
    MV_SCHEDULE_GROUP_PROP(LastRunTime, VT_DATE), MV_SCHEDULE_GROUP_PROP(NextRunTime, VT_DATE),
    MV_SCHEDULE_GROUP_PROP(RunTimeRate, VT_DATE), MV_SCHEDULE_GROUP_PROP(ExecutionTime),
    MV_SCHEDULE_GROUP_PROP(ProcessingPriority), MV_SCHEDULE_GROUP_PROP(ComputedRunTime, VT_DATE),
    MV_SCHEDULE_GROUP_PROP(Next_GMT_RunTime, VT_DATE),
    MV_SCHEDULE_GROUP_PROP(Last_GMT_RunTime, VT_DATE),
    mv::PropGet<&IMvScheduleGroup::get_Calculations>(DISPID_MvScheduleGroup_Calculations,
                                                     u"Calculations"),
    MV_SCHEDULE_GROUP_METHOD(AddCalculation).Names(u"Name"),
    MV_SCHEDULE_GROUP_METHOD(GetCalculation).Names(u"Name"), MV_SCHEDULE_GROUP_METHOD(Calculate),
    MV_SCHEDULE_GROUP_METHOD(RemoveCalculation).Names(u"Name"),
    MV_SCHEDULE_GROUP_METHOD(SetOnSchedule),
    mv::MethodByRef<&IMvScheduleGroup::ListContents>(DISPID_MvScheduleGroup_ListContents,
                                                     u"ListContents")
        .Names(u"Contents"),
    MV_SCHEDULE_GROUP_PROP(OdmStatusXml),
    MV_SCHEDULE_GROUP_METHOD(CalculateStoreForward, VT_BOOL).Names(u"Enabled"),
    MV_SCHEDULE_GROUP_METHOD(IsScheduleDay, VT_BOOL),
    MV_SCHEDULE_GROUP_METHOD(IsDayWeekOrMonth, VT_BOOL),
    MV_SCHEDULE_GROUP_METHOD(CalculateMissingHistory, VT_BOOL).Names(u"Enabled"),
    MV_SCHEDULE_GROUP_PROP(FirstRunTime, VT_DATE),
    MV_SCHEDULE_GROUP_METHOD(CheckStoreForward, VT_BOOL, VT_BOOL).Names(u"Enabled,ForceChecking"),
    MV_SCHEDULE_GROUP_PROP(Last_GMT_ModifiedTime, VT_DATE))

#undef MV_SCHEDULE_GROUP_PROP
#undef MV_SCHEDULE_GROUP_METHOD
