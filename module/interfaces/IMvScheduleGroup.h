// IMvScheduleGroup: a named, persisted list of calculation references that
// share one schedule. The scheduler runs the group's members in turn and
// drives their store-and-forward; the calculations read the schedule from it
// to place their run times.
#pragma once

#include "comobj.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalculationRef;

// The type library's ScheduleGroupPriority; a group stores any value.
enum ScheduleGroupPriority : LONG {
    mvcLow = -2,
    mvcMediumLow = -1,
    mvcNormal = 0,
    mvcMedium = 1,
    mvcHigh = 2,
};

struct IMvScheduleGroup : IDispatch {
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    // 864000 marks a daily group; 0 and 1 leave it to the rate.
    virtual HRESULT get_BuiltinSchedule(LONG* pVal) = 0;
    virtual HRESULT put_BuiltinSchedule(LONG newVal) = 0;
    // 0: not monthly; a day of the month, or below 0 the last day.
    virtual HRESULT get_ScheduleDayOfMonth(LONG* pVal) = 0;
    virtual HRESULT put_ScheduleDayOfMonth(LONG newVal) = 0;
    // 0: not weekly; 1 to 7 are Sunday to Saturday.
    virtual HRESULT get_ScheduleDayOfWeek(LONG* pVal) = 0;
    virtual HRESULT put_ScheduleDayOfWeek(LONG newVal) = 0;
    // Days.
    virtual HRESULT get_ScheduleRate(DATE* pVal) = 0;
    virtual HRESULT put_ScheduleRate(DATE newVal) = 0;
    virtual HRESULT get_ScheduleOffset(DATE* pVal) = 0;
    virtual HRESULT put_ScheduleOffset(DATE newVal) = 0;
    virtual HRESULT get_LastRunTime(DATE* pVal) = 0;
    virtual HRESULT put_LastRunTime(DATE newVal) = 0;
    virtual HRESULT get_NextRunTime(DATE* pVal) = 0;
    virtual HRESULT put_NextRunTime(DATE newVal) = 0;
    virtual HRESULT get_RunTimeRate(DATE* pVal) = 0;
    virtual HRESULT put_RunTimeRate(DATE newVal) = 0;
    virtual HRESULT get_ExecutionTime(LONG* pVal) = 0;
    virtual HRESULT put_ExecutionTime(LONG newVal) = 0;
    virtual HRESULT get_ProcessingPriority(LONG* pVal) = 0;
    virtual HRESULT put_ProcessingPriority(LONG newVal) = 0;
    virtual HRESULT get_ComputedRunTime(DATE* pVal) = 0;
    virtual HRESULT put_ComputedRunTime(DATE newVal) = 0;
    virtual HRESULT get_Next_GMT_RunTime(DATE* pVal) = 0;
    virtual HRESULT put_Next_GMT_RunTime(DATE newVal) = 0;
    virtual HRESULT get_Last_GMT_RunTime(DATE* pVal) = 0;
    virtual HRESULT put_Last_GMT_RunTime(DATE newVal) = 0;
    // The member references, filed under their calculations' names.
    virtual HRESULT get_Calculations(IMvObjCollection** pVal) = 0;
    virtual HRESULT AddCalculation(BSTR Name, IMvCalculationRef** pCalcRef) = 0;
    virtual HRESULT GetCalculation(BSTR Name, IMvCalculationRef** pCalcRef) = 0;
    // Runs every member once, in order; S_OK.
    virtual HRESULT Calculate() = 0;
    virtual HRESULT RemoveCalculation(BSTR Name) = 0;
    virtual HRESULT SetOnSchedule() = 0;
    // Per member its calculation's OnSchedule (VT_I4), or its name (VT_BSTR)
    // when the calculation cannot be loaded; VT_EMPTY for no members.
    virtual HRESULT ListContents(VARIANT* Contents) = 0;
    virtual HRESULT get_OdmStatusXml(BSTR* pVal) = 0;
    virtual HRESULT put_OdmStatusXml(BSTR newVal) = 0;
    virtual HRESULT CalculateStoreForward(VARIANT_BOOL Enabled) = 0;
    virtual HRESULT IsScheduleDay(VARIANT_BOOL* ReturnValue) = 0;
    virtual HRESULT IsDayWeekOrMonth(VARIANT_BOOL* ReturnValue) = 0;
    // E_NOTIMPL.
    virtual HRESULT CalculateMissingHistory(VARIANT_BOOL Enabled) = 0;
    // The anchor of an interval schedule; not persisted.
    virtual HRESULT get_FirstRunTime(DATE* pVal) = 0;
    virtual HRESULT put_FirstRunTime(DATE newVal) = 0;
    virtual HRESULT CheckStoreForward(VARIANT_BOOL Enabled, VARIANT_BOOL ForceChecking) = 0;
    virtual HRESULT get_Last_GMT_ModifiedTime(DATE* pVal) = 0;
    virtual HRESULT put_Last_GMT_ModifiedTime(DATE newVal) = 0;

protected:
    ~IMvScheduleGroup() = default;
};
MV_IID_OF(IMvScheduleGroup, IID_IMvScheduleGroup);

enum : DISPID {
    DISPID_MvScheduleGroup_Name = 248,
    DISPID_MvScheduleGroup_BuiltinSchedule = 206,
    DISPID_MvScheduleGroup_ScheduleDayOfMonth = 268,
    DISPID_MvScheduleGroup_ScheduleDayOfWeek = 269,
    DISPID_MvScheduleGroup_ScheduleRate = 271,
    DISPID_MvScheduleGroup_ScheduleOffset = 270,
    DISPID_MvScheduleGroup_LastRunTime = 243,
    DISPID_MvScheduleGroup_NextRunTime = 250,
    DISPID_MvScheduleGroup_RunTimeRate = 265,
    DISPID_MvScheduleGroup_ExecutionTime = 224,
    DISPID_MvScheduleGroup_ProcessingPriority = 259,
    DISPID_MvScheduleGroup_ComputedRunTime = 210,
    DISPID_MvScheduleGroup_Next_GMT_RunTime = 249,
    DISPID_MvScheduleGroup_Last_GMT_RunTime = 241,
    DISPID_MvScheduleGroup_Calculations = 2007,
    DISPID_MvScheduleGroup_AddCalculation = 1,
    DISPID_MvScheduleGroup_GetCalculation = 2,
    DISPID_MvScheduleGroup_Calculate = 3,
    DISPID_MvScheduleGroup_RemoveCalculation = 4,
    DISPID_MvScheduleGroup_SetOnSchedule = 5,
    DISPID_MvScheduleGroup_ListContents = 6,
    DISPID_MvScheduleGroup_OdmStatusXml = 309,
    DISPID_MvScheduleGroup_CalculateStoreForward = 7,
    DISPID_MvScheduleGroup_IsScheduleDay = 8,
    DISPID_MvScheduleGroup_IsDayWeekOrMonth = 9,
    DISPID_MvScheduleGroup_CalculateMissingHistory = 10,
    DISPID_MvScheduleGroup_FirstRunTime = 314,
    DISPID_MvScheduleGroup_CheckStoreForward = 11,
    DISPID_MvScheduleGroup_Last_GMT_ModifiedTime = 316,
};

// The member interface; its header also holds this interface's dispatch
// table, which names it.
#include "interfaces/IMvCalculationRef.h"
