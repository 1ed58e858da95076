// IMvCalculation and IMvCalculation3: the calculation's dual interface and
// its later custom interface. Formula libraries compile against this header,
// so the members keep the order of the interfaces' function tables (a
// property's getter right before its setter) and their signatures do not
// change.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalcOLEMethod.h"
#include "interfaces/IMvDataSet.h"
#include "interfaces/IMvDravikConnect.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvScheduleGroup.h"
#include "interfaces/MvMorvaCalc_ids.h"

// The formula kind of a calculation (FormulaType). The property stores any
// 32-bit value; these are the kinds a run knows.
enum CalcMethodTypes : LONG {
    mvcNoExecuteMethodDefined = 0,
    mvcEXE_Execute_Method = 1,
    mvcOLE_Execute_Method = 2,
    mvcVBS_Script_Method = 3,
    mvcSimpleScript_Method = 4,
    mvcExcel_Execute_Method = 5,
    mvcDLL_Execute_Method = 6,
    mvcOnDemand_Method = 7,
};

struct IMvCalculation : IDispatch {
    virtual HRESULT get_Description(BSTR* pVal) = 0;
    virtual HRESULT put_Description(BSTR newVal) = 0;
    virtual HRESULT get_CreationDate(DATE* pVal) = 0;
    virtual HRESULT put_CreationDate(DATE newVal) = 0;
    virtual HRESULT get_ModifiedDate(DATE* pVal) = 0;
    virtual HRESULT put_ModifiedDate(DATE newVal) = 0;
    virtual HRESULT get_ID(BSTR* pVal) = 0;
    virtual HRESULT put_ID(BSTR newVal) = 0;
    virtual HRESULT get_Password(LONG* pVal) = 0;
    virtual HRESULT put_Password(LONG newVal) = 0;
    virtual HRESULT get_LastExecution(DATE* pVal) = 0;
    virtual HRESULT put_LastExecution(DATE newVal) = 0;
    virtual HRESULT get_CalculateTime(DOUBLE* pVal) = 0;
    virtual HRESULT put_CalculateTime(DOUBLE newVal) = 0;
    virtual HRESULT get_SandBoxMode(LONG* pVal) = 0;
    virtual HRESULT put_SandBoxMode(LONG newVal) = 0;
    virtual HRESULT get_EditOwner(BSTR* pVal) = 0;
    virtual HRESULT put_EditOwner(BSTR newVal) = 0;
    virtual HRESULT get_BeingCalculated(LONG* pVal) = 0;
    virtual HRESULT put_BeingCalculated(LONG newVal) = 0;
    virtual HRESULT get_Value(VARIANT* pVal) = 0;
    virtual HRESULT put_Value(VARIANT newVal) = 0;
    virtual HRESULT get_Level(SHORT* pVal) = 0;
    virtual HRESULT put_Level(SHORT newVal) = 0;
    virtual HRESULT get_Status(SHORT* pVal) = 0;
    virtual HRESULT put_Status(SHORT newVal) = 0;
    virtual HRESULT get_ErrorText(BSTR* pVal) = 0;
    virtual HRESULT put_ErrorText(BSTR newVal) = 0;
    virtual HRESULT get_ErrorPosition(LONG* pVal) = 0;
    virtual HRESULT put_ErrorPosition(LONG newVal) = 0;
    virtual HRESULT get_LibraryName(BSTR* pVal) = 0;
    virtual HRESULT put_LibraryName(BSTR newVal) = 0;
    virtual HRESULT get_FormulaName(BSTR* pVal) = 0;
    virtual HRESULT put_FormulaName(BSTR newVal) = 0;
    virtual HRESULT get_FormulaType(LONG* pVal) = 0;
    virtual HRESULT put_FormulaType(LONG newVal) = 0;
    virtual HRESULT get_FormulaTypeText(BSTR* pVal) = 0;
    virtual HRESULT put_FormulaTypeText(BSTR newVal) = 0;
    virtual HRESULT get_ScriptText(BSTR* pVal) = 0;
    virtual HRESULT put_ScriptText(BSTR newVal) = 0;
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT get_FunctionName(BSTR* pVal) = 0;
    virtual HRESULT put_FunctionName(BSTR newVal) = 0;
    virtual HRESULT get_DllName(BSTR* pVal) = 0;
    virtual HRESULT put_DllName(BSTR newVal) = 0;
    virtual HRESULT get_ExcelFileName(BSTR* pVal) = 0;
    virtual HRESULT put_ExcelFileName(BSTR newVal) = 0;
    virtual HRESULT get_ProgramName(BSTR* pVal) = 0;
    virtual HRESULT put_ProgramName(BSTR newVal) = 0;
    virtual HRESULT get_OLEObjectName(BSTR* pVal) = 0;
    virtual HRESULT put_OLEObjectName(BSTR newVal) = 0;
    virtual HRESULT get_Parameters(IMvObjCollection** pVal) = 0;
    virtual HRESULT get_DataSets(IMvObjCollection** pVal) = 0;
    virtual HRESULT get_FormulaRefs(IMvObjCollection** pVal) = 0;
    virtual HRESULT get_OleMethods(IMvObjCollection** pVal) = 0;
    virtual HRESULT get_DravikConnect(IMvDravikConnect** pVal) = 0;
    virtual HRESULT put_DravikConnect(IMvDravikConnect* newVal) = 0;
    virtual HRESULT AddParameter(BSTR Name, IMvParameter** pDisp) = 0;
    virtual HRESULT GetParameter(BSTR Name, IMvParameter** pDisp) = 0;
    virtual HRESULT Calculate() = 0;
    virtual HRESULT AddDataSet(BSTR Name, IMvDataSet** pDisp) = 0;
    virtual HRESULT GetDataSet(BSTR Name, IMvDataSet** pDisp) = 0;
    virtual HRESULT Execute() = 0;
    virtual HRESULT GetFormulaRef(BSTR Name, IDispatch** pDisp) = 0;
    virtual HRESULT ClearCache() = 0;
    virtual HRESULT RemoveAllParameters() = 0;
    virtual HRESULT AddOLEMethod(BSTR Name, IMvCalcOLEMethod** pMethod) = 0;
    virtual HRESULT GetOLEMethod(BSTR Name, IMvCalcOLEMethod** pMethod) = 0;
    virtual HRESULT AddFormulaRef(BSTR Name, BSTR LibraryName, IDispatch** pDisp) = 0;
    virtual HRESULT GetFormula(BSTR FormulaName, IMvCalculation** pFormula, LONG* Count) = 0;
    virtual HRESULT GetFormulaDetails(BSTR* FormulaName, BSTR* Description, BSTR* FormulaType) = 0;
    virtual HRESULT SetCalcFromFormula() = 0;
    virtual HRESULT FormulaDetailsArray(VARIANT* pDetailsArray) = 0;
    virtual HRESULT IsBasedOnFormula(BSTR LibraryName, BSTR FormulaName) = 0;
    virtual HRESULT ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) = 0;
    virtual HRESULT AllocateCopy(IMvCalculation** pFormula, LONG RecursionCount) = 0;
    virtual HRESULT DeallocateCopy() = 0;
    virtual HRESULT SetCalcFromFormulaP(IMvCalculation* pFormula) = 0;
    virtual HRESULT get_OnSchedule(SHORT* pVal) = 0;
    virtual HRESULT put_OnSchedule(SHORT newVal) = 0;
    virtual HRESULT get_CalculationStatus(SHORT* pVal) = 0;
    virtual HRESULT CreateDravikConnect() = 0;
    virtual HRESULT UnloadExcelFile() = 0;
    virtual HRESULT SaveExcelFile() = 0;
    virtual HRESULT ExcelAutoAddParameters() = 0;
    virtual HRESULT get_CloseExcelAfterExecuting(SHORT* pVal) = 0;
    virtual HRESULT put_CloseExcelAfterExecuting(SHORT newVal) = 0;
    virtual HRESULT get_EnableStoreAndForward(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT put_EnableStoreAndForward(VARIANT_BOOL newVal) = 0;
    virtual HRESULT CalculateStoreForward(VARIANT_BOOL Enabled,
                                          IMvScheduleGroup* ScheduleGroup) = 0;
    virtual HRESULT GetScheduledTime(DATE* ReturnValue) = 0;
    virtual HRESULT GetScheduledTimeUtc(DATE* ReturnValue) = 0;
    virtual HRESULT CalculateMissingHistory(VARIANT_BOOL Enabled,
                                            IMvScheduleGroup* ScheduleGroup) = 0;
    virtual HRESULT get_StoreForwardStatus(BSTR* pVal) = 0;
    virtual HRESULT get_IsStoreForwardHistoryMode(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT CheckStoreForward(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup) = 0;

protected:
    ~IMvCalculation() = default;
};
MV_IID_OF(IMvCalculation, IID_IMvCalculation);

// A custom interface: no dispatch table, its DISPIDs are those of the type
// library.
struct IMvCalculation3 : IUnknown {
    virtual HRESULT MarkParametersUnused() = 0;
    virtual HRESULT ListUnusedParameters(VARIANT* pVarList) = 0;
    virtual HRESULT CreateCorvexParams(BSTR bAutoBindServers, VARIANT* pUnused,
                                       VARIANT* pUnbound) = 0;
    virtual HRESULT ListParameterDetails(VARIANT* pDetails) = 0;
    virtual HRESULT RefreshUserContext() = 0;

protected:
    ~IMvCalculation3() = default;
};
MV_IID_OF(IMvCalculation3, IID_IMvCalculation3);

// DISPIDs of the calculation's members.
enum : DISPID {
    DISPID_MvCalculation_BeingCalculated = 0xCA,
    DISPID_MvCalculation_CalculateTime = 0xCF,
    DISPID_MvCalculation_CreationDate = 0xD4,
    DISPID_MvCalculation_Description = 0xDA,
    DISPID_MvCalculation_DllName = 0xDB,
    DISPID_MvCalculation_EditOwner = 0xDC,
    DISPID_MvCalculation_ErrorPosition = 0xDD,
    DISPID_MvCalculation_ErrorText = 0xDE,
    DISPID_MvCalculation_FormulaName = 0xE5,
    DISPID_MvCalculation_FormulaType = 0xE7,
    DISPID_MvCalculation_FormulaTypeText = 0xE8,
    DISPID_MvCalculation_FunctionName = 0xE9,
    DISPID_MvCalculation_ID = 0xED,
    DISPID_MvCalculation_LastExecution = 0xF2,
    DISPID_MvCalculation_Level = 0xF4,
    DISPID_MvCalculation_LibraryName = 0xF5,
    DISPID_MvCalculation_ModifiedDate = 0xF6,
    DISPID_MvCalculation_Name = 0xF8,
    DISPID_MvCalculation_Password = 0x102,
    DISPID_MvCalculation_SandBoxMode = 0x10B,
    DISPID_MvCalculation_ScriptText = 0x110,
    DISPID_MvCalculation_Status = 0x118,
    DISPID_MvCalculation_Value = 0x122,
    DISPID_MvCalculation_ExcelFileName = 0x124,
    DISPID_MvCalculation_ProgramName = 0x125,
    DISPID_MvCalculation_OLEObjectName = 0x12A,
    DISPID_MvCalculation_DravikConnect = 0x133,
    DISPID_MvCalculation_CloseExcelAfterExecuting = 0x134,
    DISPID_MvCalculation_EnableStoreAndForward = 0x136,
    DISPID_MvCalculation_Parameters = 0x7D1,
    DISPID_MvCalculation_DataSets = 0x7D2,
    DISPID_MvCalculation_FormulaRefs = 0x7D3,
    DISPID_MvCalculation_OleMethods = 0x7D9,
    DISPID_MvCalculation_AddParameter = 0x1A,
    DISPID_MvCalculation_GetParameter = 0x1B,
    DISPID_MvCalculation_Calculate = 0x1C,
    DISPID_MvCalculation_AddDataSet = 0x1E,
    DISPID_MvCalculation_GetDataSet = 0x1F,
    DISPID_MvCalculation_Execute = 0x21,
    DISPID_MvCalculation_GetFormulaRef = 0x22,
    DISPID_MvCalculation_ClearCache = 0x23,
    DISPID_MvCalculation_RemoveAllParameters = 0x24,
    DISPID_MvCalculation_AddOLEMethod = 0x25,
    DISPID_MvCalculation_GetOLEMethod = 0x26,
    DISPID_MvCalculation_AddFormulaRef = 0x27,
    DISPID_MvCalculation_GetFormula = 0x28,
    DISPID_MvCalculation_GetFormulaDetails = 0x29,
    DISPID_MvCalculation_SetCalcFromFormula = 0x2A,
    DISPID_MvCalculation_FormulaDetailsArray = 0x2B,
    DISPID_MvCalculation_IsBasedOnFormula = 0x2C,
    DISPID_MvCalculation_ClearFormulaRef = 0x2D,
    DISPID_MvCalculation_AllocateCopy = 0x2E,
    DISPID_MvCalculation_DeallocateCopy = 0x2F,
    DISPID_MvCalculation_SetCalcFromFormulaP = 0x30,
    DISPID_MvCalculation_OnSchedule = 0x31,
    DISPID_MvCalculation_CalculationStatus = 0x32,
    DISPID_MvCalculation_CreateDravikConnect = 0x34,
    DISPID_MvCalculation_UnloadExcelFile = 0x35,
    DISPID_MvCalculation_SaveExcelFile = 0x36,
    DISPID_MvCalculation_ExcelAutoAddParameters = 0x37,
    DISPID_MvCalculation_CalculateStoreForward = 0x38,
    DISPID_MvCalculation_GetScheduledTime = 0x39,
    DISPID_MvCalculation_GetScheduledTimeUtc = 0x3A,
    DISPID_MvCalculation_CalculateMissingHistory = 0x3B,
    DISPID_MvCalculation_StoreForwardStatus = 0x3C,
    DISPID_MvCalculation_IsStoreForwardHistoryMode = 0x3D,
    DISPID_MvCalculation_CheckStoreForward = 0x3E,
    DISPID_MvCalculation3_MarkParametersUnused = 0x60010000,
    DISPID_MvCalculation3_ListUnusedParameters = 0x60010001,
    DISPID_MvCalculation3_CreateCorvexParams = 0x60010002,
    DISPID_MvCalculation3_ListParameterDetails = 0x60010003,
    DISPID_MvCalculation3_RefreshUserContext = 0x60010004,
};

namespace mv_calculation_detail {
// The two members whose interface out pointer is not their last parameter
// (so not their [out, retval]) are dispatched by hand: the pointer travels
// as a by-reference VT_DISPATCH.
inline HRESULT GetFormulaThunk(IDispatch* self, VARIANT* args) {
    return static_cast<IMvCalculation*>(self)->GetFormula(
        args[0].bstrVal, reinterpret_cast<IMvCalculation**>(args[1].ppdispVal), args[2].plVal);
}
inline constexpr mv::DispParam kGetFormulaParams[] = {{VT_BSTR, mv::DispMode::In, nullptr},
                                                      {VT_DISPATCH, mv::DispMode::InOut, nullptr},
                                                      {VT_I4, mv::DispMode::InOut, nullptr}};
inline HRESULT AllocateCopyThunk(IDispatch* self, VARIANT* args) {
    return static_cast<IMvCalculation*>(self)->AllocateCopy(
        reinterpret_cast<IMvCalculation**>(args[0].ppdispVal), args[1].lVal);
}
inline constexpr mv::DispParam kAllocateCopyParams[] = {{VT_DISPATCH, mv::DispMode::InOut, nullptr},
                                                        {VT_I4, mv::DispMode::In, nullptr}};
}  // namespace mv_calculation_detail

// A property: getter and setter rows under one DISPID.
#define MV_CALCULATION_GET(Name, ...)                                    \
    mv::PropGet<&IMvCalculation::get_##Name __VA_OPT__(, ) __VA_ARGS__>( \
        DISPID_MvCalculation_##Name, u## #Name)
#define MV_CALCULATION_PROP(Name, ...)                                       \
    MV_CALCULATION_GET(Name __VA_OPT__(, ) __VA_ARGS__),                     \
        mv::PropPut<&IMvCalculation::put_##Name __VA_OPT__(, ) __VA_ARGS__>( \
            DISPID_MvCalculation_##Name, u## #Name)
#define MV_CALCULATION_METHOD(Name) \
    mv::Method<&IMvCalculation::Name>(DISPID_MvCalculation_##Name, u## #Name)

MV_DISPATCH_TABLE(
    IMvCalculation, MV_CALCULATION_PROP(Description), MV_CALCULATION_PROP(CreationDate, VT_DATE),
    MV_CALCULATION_PROP(ModifiedDate, VT_DATE), MV_CALCULATION_PROP(ID),
    MV_CALCULATION_PROP(Password), MV_CALCULATION_PROP(LastExecution, VT_DATE),
    MV_CALCULATION_PROP(CalculateTime), MV_CALCULATION_PROP(SandBoxMode),
    MV_CALCULATION_PROP(EditOwner), MV_CALCULATION_PROP(BeingCalculated),
    MV_CALCULATION_PROP(Value), MV_CALCULATION_PROP(Level), MV_CALCULATION_PROP(Status),
    MV_CALCULATION_PROP(ErrorText), MV_CALCULATION_PROP(ErrorPosition),
    MV_CALCULATION_PROP(LibraryName), MV_CALCULATION_PROP(FormulaName),
    MV_CALCULATION_PROP(FormulaType), MV_CALCULATION_PROP(FormulaTypeText),
    MV_CALCULATION_PROP(ScriptText), MV_CALCULATION_PROP(Name), MV_CALCULATION_PROP(FunctionName),
    MV_CALCULATION_PROP(DllName), MV_CALCULATION_PROP(ExcelFileName),
    MV_CALCULATION_PROP(ProgramName), MV_CALCULATION_PROP(OLEObjectName),
    MV_CALCULATION_GET(Parameters), MV_CALCULATION_GET(DataSets), MV_CALCULATION_GET(FormulaRefs),
    MV_CALCULATION_GET(OleMethods), MV_CALCULATION_PROP(DravikConnect),
    MV_CALCULATION_METHOD(AddParameter).Names(u"Name"),
    MV_CALCULATION_METHOD(GetParameter).Names(u"Name"), MV_CALCULATION_METHOD(Calculate),
    MV_CALCULATION_METHOD(AddDataSet).Names(u"Name"),
    MV_CALCULATION_METHOD(GetDataSet).Names(u"Name"), MV_CALCULATION_METHOD(Execute),
    MV_CALCULATION_METHOD(GetFormulaRef).Names(u"Name"), MV_CALCULATION_METHOD(ClearCache),
    MV_CALCULATION_METHOD(RemoveAllParameters), MV_CALCULATION_METHOD(AddOLEMethod).Names(u"Name"),
    MV_CALCULATION_METHOD(GetOLEMethod).Names(u"Name"),
    MV_CALCULATION_METHOD(AddFormulaRef).Names(u"Name,LibraryName"),
    mv::DispMember{DISPID_MvCalculation_GetFormula, u"GetFormula", mv::DispKind::Method,
                   &mv_calculation_detail::GetFormulaThunk,
                   mv_calculation_detail::kGetFormulaParams, 3, false, 0,
                   u"FormulaName,pFormula,Count"},
    mv::MethodByRef<&IMvCalculation::GetFormulaDetails>(DISPID_MvCalculation_GetFormulaDetails,
                                                        u"GetFormulaDetails")
        .Names(u"FormulaName,Description,FormulaType"),
    MV_CALCULATION_METHOD(SetCalcFromFormula), MV_CALCULATION_METHOD(FormulaDetailsArray),
    MV_CALCULATION_METHOD(IsBasedOnFormula).Names(u"LibraryName,FormulaName"),
    MV_CALCULATION_METHOD(ClearFormulaRef).Names(u"LibraryName,FormulaName"),
    mv::DispMember{DISPID_MvCalculation_AllocateCopy, u"AllocateCopy", mv::DispKind::Method,
                   &mv_calculation_detail::AllocateCopyThunk,
                   mv_calculation_detail::kAllocateCopyParams, 2, false, 0,
                   u"pFormula,RecursionCount"},
    MV_CALCULATION_METHOD(DeallocateCopy),
    MV_CALCULATION_METHOD(SetCalcFromFormulaP).Names(u"pFormula"), MV_CALCULATION_PROP(OnSchedule),
    MV_CALCULATION_GET(CalculationStatus), MV_CALCULATION_METHOD(CreateDravikConnect),
    MV_CALCULATION_METHOD(UnloadExcelFile), MV_CALCULATION_METHOD(SaveExcelFile),
    MV_CALCULATION_METHOD(ExcelAutoAddParameters), MV_CALCULATION_PROP(CloseExcelAfterExecuting),
    MV_CALCULATION_PROP(EnableStoreAndForward, VT_BOOL),
    mv::Method<&IMvCalculation::CalculateStoreForward, VT_BOOL>(
        DISPID_MvCalculation_CalculateStoreForward, u"CalculateStoreForward")
        .Names(u"Enabled,ScheduleGroup"),
    mv::Method<&IMvCalculation::GetScheduledTime, VT_DATE>(DISPID_MvCalculation_GetScheduledTime,
                                                           u"GetScheduledTime"),
    mv::Method<&IMvCalculation::GetScheduledTimeUtc, VT_DATE>(
        DISPID_MvCalculation_GetScheduledTimeUtc, u"GetScheduledTimeUtc"),
    mv::Method<&IMvCalculation::CalculateMissingHistory, VT_BOOL>(
        DISPID_MvCalculation_CalculateMissingHistory, u"CalculateMissingHistory")
        .Names(u"Enabled,ScheduleGroup"),
    MV_CALCULATION_GET(StoreForwardStatus), MV_CALCULATION_GET(IsStoreForwardHistoryMode, VT_BOOL),
    mv::Method<&IMvCalculation::CheckStoreForward, VT_BOOL>(DISPID_MvCalculation_CheckStoreForward,
                                                            u"CheckStoreForward")
        .Names(u"Enabled,ScheduleGroup"))

#undef MV_CALCULATION_GET
#undef MV_CALCULATION_PROP
#undef MV_CALCULATION_METHOD
