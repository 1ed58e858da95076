// IMvParameter: one named input or output of a calculation (its value and
// quality, its direction and data type, its units and conversion factors,
// its binding definition) and the enumerations that go with it.
//
// The members stand in the order of the interface's function table; a
// property's getter comes right before its setter. Enumerated properties
// travel as LONG: nothing checks their range.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

// Data type of a parameter's value (Type, TypeText).
enum ParameterDataType : LONG {
    mvcEmpty = 0,
    mvcNull = 1,
    mvcShort = 2,
    mvcInteger = 3,
    mvcSingle = 4,
    mvcFloat = 5,
    mvcCurrency = 6,
    mvcTimeStamp = 7,
    mvcString = 8,
    mvcObject = 9,
    mvcError = 10,
    mvcBoolean = 11,
    mvcVariant = 12,
    mvcDataObject = 13,
    mvcDecimal = 14,
    mvcByte = 15,
};

// Direction of a parameter (ParameterType, ParameterTypeText).
enum ParameterTypes : LONG {
    mvcUnUsed = 0,
    mvcInput = 1,
    mvcOutput = 2,
    mvcInputOutput = 3,
    mvcReturnValue = 6,
    mvcCommand = 8,
};

// Where a parameter's value comes from or goes to (BindingType,
// BindingTypeText).
enum BindingTypesDef : LONG {
    mvcNone = 0,
    mvcKeldrin = 1,
    mvcADO = 2,
    mvcConstant = 3,
    mvcDataSet = 4,
    mvcOLE_Object = 5,
    mvcCalculation = 6,
    mvcDravik = 7,
    mvcFile = 8,
    mvcOPC = 9,
    mvcQuenbus = 10,
    mvcProcessData = 11,
};

// Quality level of a value.
enum CalcQLevels : SHORT {
    mvcQLEVEL_GOOD = 0,
    mvcQLEVEL_SUSPECT = 1,
    mvcQLEVEL_BAD = 2,
    mvcNO_QLEVEL = -1,
};

// Quality status of a value; put_Status derives the level from it.
enum CalcQStatuses : SHORT {
    mvcQSTATUS_INITIAL = 0,
    mvcQSTATUS_GOOD = -1,
    mvcQSTATUS_NO_STATUS = -2,
    mvcQSTATUS_SUSPECT = -3,
    mvcQSTATUS_CLAMPED_HI = -4,
    mvcQSTATUS_CLAMPED_LO = -5,
    mvcQSTATUS_BAD = -6,
    mvcQSTATUS_NO_FIELD = -32768,
};

struct IMvParameter : IDispatch {
    virtual HRESULT get_Description(BSTR* pVal) = 0;
    virtual HRESULT put_Description(BSTR newVal) = 0;
    virtual HRESULT get_Default(VARIANT* pVal) = 0;
    virtual HRESULT put_Default(VARIANT newVal) = 0;
    virtual HRESULT get_Type(LONG* pVal) = 0;
    virtual HRESULT put_Type(LONG newVal) = 0;
    virtual HRESULT get_TypeText(BSTR* pVal) = 0;
    virtual HRESULT put_TypeText(BSTR newVal) = 0;
    virtual HRESULT get_Units(BSTR* pVal) = 0;
    virtual HRESULT put_Units(BSTR newVal) = 0;
    virtual HRESULT get_UnitConversionMultiplier(DOUBLE* pVal) = 0;
    virtual HRESULT put_UnitConversionMultiplier(DOUBLE newVal) = 0;
    virtual HRESULT get_UnitConversionOffset(DOUBLE* pVal) = 0;
    virtual HRESULT put_UnitConversionOffset(DOUBLE newVal) = 0;
    virtual HRESULT get_ParameterType(LONG* pVal) = 0;
    virtual HRESULT put_ParameterType(LONG newVal) = 0;
    virtual HRESULT get_ParameterTypeText(BSTR* pVal) = 0;
    virtual HRESULT put_ParameterTypeText(BSTR newVal) = 0;
    virtual HRESULT get_Source(BSTR* pVal) = 0;
    virtual HRESULT put_Source(BSTR newVal) = 0;
    virtual HRESULT get_SampleInfo(IUnknown** pVal) = 0;
    virtual HRESULT put_SampleInfo(IUnknown* newVal) = 0;
    virtual HRESULT get_SpreadSheetName(BSTR* pVal) = 0;
    virtual HRESULT put_SpreadSheetName(BSTR newVal) = 0;
    virtual HRESULT get_SpreadSheetRow(LONG* pVal) = 0;
    virtual HRESULT put_SpreadSheetRow(LONG newVal) = 0;
    virtual HRESULT get_SpreadSheetColumn(LONG* pVal) = 0;
    virtual HRESULT put_SpreadSheetColumn(LONG newVal) = 0;
    virtual HRESULT get_SpreadSheetMethod(BSTR* pVal) = 0;
    virtual HRESULT put_SpreadSheetMethod(BSTR newVal) = 0;
    virtual HRESULT get_EXE_RuntimeArgument(BSTR* pVal) = 0;
    virtual HRESULT put_EXE_RuntimeArgument(BSTR newVal) = 0;
    virtual HRESULT get_Value(VARIANT* pVal) = 0;
    virtual HRESULT put_Value(VARIANT newVal) = 0;
    virtual HRESULT get_Level(SHORT* pVal) = 0;
    virtual HRESULT put_Level(SHORT newVal) = 0;
    virtual HRESULT get_Status(SHORT* pVal) = 0;
    virtual HRESULT put_Status(SHORT newVal) = 0;
    virtual HRESULT get_TimeStamp(DATE* pVal) = 0;
    virtual HRESULT put_TimeStamp(DATE newVal) = 0;
    virtual HRESULT get_Record_ID(LONG* pVal) = 0;
    virtual HRESULT put_Record_ID(LONG newVal) = 0;
    virtual HRESULT get_Field_ID(LONG* pVal) = 0;
    virtual HRESULT put_Field_ID(LONG newVal) = 0;
    virtual HRESULT get_StatusField_ID(LONG* pVal) = 0;
    virtual HRESULT put_StatusField_ID(LONG newVal) = 0;
    virtual HRESULT get_HistoryField_ID(LONG* pVal) = 0;
    virtual HRESULT put_HistoryField_ID(LONG newVal) = 0;
    virtual HRESULT get_NodeName(BSTR* pVal) = 0;
    virtual HRESULT put_NodeName(BSTR newVal) = 0;
    virtual HRESULT get_GroupNumber(LONG* pVal) = 0;
    virtual HRESULT put_GroupNumber(LONG newVal) = 0;
    virtual HRESULT get_RecordName(BSTR* pVal) = 0;
    virtual HRESULT put_RecordName(BSTR newVal) = 0;
    virtual HRESULT get_FieldName(BSTR* pVal) = 0;
    virtual HRESULT put_FieldName(BSTR newVal) = 0;
    virtual HRESULT get_BoundUnits(BSTR* pVal) = 0;
    virtual HRESULT put_BoundUnits(BSTR newVal) = 0;
    virtual HRESULT get_BindingType(LONG* pVal) = 0;
    virtual HRESULT put_BindingType(LONG newVal) = 0;
    virtual HRESULT get_BindingTypeText(BSTR* pVal) = 0;
    virtual HRESULT put_BindingTypeText(BSTR newVal) = 0;
    virtual HRESULT get_FieldType(LONG* pVal) = 0;
    virtual HRESULT put_FieldType(LONG newVal) = 0;
    virtual HRESULT get_Use_QT_Format(LONG* pVal) = 0;
    virtual HRESULT put_Use_QT_Format(LONG newVal) = 0;
    virtual HRESULT get_DefinitionRecord_ID(LONG* pVal) = 0;
    virtual HRESULT put_DefinitionRecord_ID(LONG newVal) = 0;
    virtual HRESULT get_HistoryFieldName(BSTR* pVal) = 0;
    virtual HRESULT put_HistoryFieldName(BSTR newVal) = 0;
    virtual HRESULT get_CalculationName(BSTR* pVal) = 0;
    virtual HRESULT put_CalculationName(BSTR newVal) = 0;
    virtual HRESULT get_DataSetName(BSTR* pVal) = 0;
    virtual HRESULT put_DataSetName(BSTR newVal) = 0;
    virtual HRESULT get_ColumnName(BSTR* pVal) = 0;
    virtual HRESULT put_ColumnName(BSTR newVal) = 0;
    virtual HRESULT get_RowNumber(LONG* pVal) = 0;
    virtual HRESULT put_RowNumber(LONG newVal) = 0;
    virtual HRESULT get_ItemName(BSTR* pVal) = 0;
    virtual HRESULT put_ItemName(BSTR newVal) = 0;
    virtual HRESULT get_ItemID(LONG* pVal) = 0;
    virtual HRESULT put_ItemID(LONG newVal) = 0;
    virtual HRESULT get_ParameterName(BSTR* pVal) = 0;
    virtual HRESULT put_ParameterName(BSTR newVal) = 0;
    virtual HRESULT get_ParameterID(LONG* pVal) = 0;
    virtual HRESULT put_ParameterID(LONG newVal) = 0;
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    // Value, quality and time in one call, under the object's lock; null
    // pointers are skipped.
    virtual HRESULT SetParameterValues(VARIANT* pnewVal, SHORT* pnewLevel, SHORT* pnewStatus,
                                       DATE* pnewTimestamp) = 0;
    virtual HRESULT GetParameterValues(VARIANT* pVal, SHORT* pLevel, SHORT* pStatus,
                                       DATE* pTimestamp) = 0;
    virtual HRESULT SetParameterRecFld(LONG* pRecord_ID, LONG* pField_ID,
                                       LONG* pHistoryField_ID) = 0;
    virtual HRESULT GetParameterRecFld(LONG* pRecord_ID, LONG* pField_ID,
                                       LONG* pHistoryField_ID) = 0;
    virtual HRESULT GetDetails(BSTR* pName, BSTR* pTypeText, BSTR* pParameterTypeText,
                               VARIANT* pDefault, BSTR* pSource, VARIANT* pValue, SHORT* pStatus,
                               BSTR* pUnits) = 0;
    virtual HRESULT get_CellText(BSTR* pVal) = 0;
    virtual HRESULT put_CellText(BSTR newVal) = 0;
    virtual HRESULT ChangeServerName(BSTR OldServer, LONG OldGroup, BSTR NewServer,
                                     LONG NewGroup) = 0;
    virtual HRESULT Validate(BSTR* ErrorText) = 0;
    virtual HRESULT get_Changed(LONG* pVal) = 0;
    virtual HRESULT put_Changed(LONG newVal) = 0;
    virtual HRESULT Validate2(VARIANT_BOOL CheckUnits, BSTR* ErrorText) = 0;
    virtual HRESULT SetUnitConversionFactor() = 0;
    virtual HRESULT SetUsingMap(BSTR ServerName, BSTR RecordName, BSTR MapName,
                                BSTR* ErrorText) = 0;
    virtual HRESULT get_Extrapolate(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT put_Extrapolate(VARIANT_BOOL newVal) = 0;
    virtual HRESULT SetUsingDataSourceAndMap(BSTR DataSourceName, BSTR TagName, BSTR MapName,
                                             BSTR* ErrorText) = 0;
    virtual HRESULT get_Interpolate(LONG* pVal) = 0;
    virtual HRESULT put_Interpolate(LONG newVal) = 0;
    virtual HRESULT putref_Value(VARIANT* newVal) = 0;
    virtual HRESULT get_DataSource(BSTR* pVal) = 0;
    virtual HRESULT put_DataSource(BSTR newVal) = 0;

protected:
    ~IMvParameter() = default;
};
MV_IID_OF(IMvParameter, IID_IMvParameter);

// DISPIDs of the parameter's members.
enum : DISPID {
    DISPID_MvParameter_BindingType = 203,
    DISPID_MvParameter_BindingTypeText = 204,
    DISPID_MvParameter_CalculationName = 208,
    DISPID_MvParameter_ColumnName = 209,
    DISPID_MvParameter_DataSetName = 213,
    DISPID_MvParameter_Default = 216,
    DISPID_MvParameter_DefinitionRecord_ID = 217,
    DISPID_MvParameter_Description = 218,
    DISPID_MvParameter_EXE_RuntimeArgument = 223,
    DISPID_MvParameter_Field_ID = 225,
    DISPID_MvParameter_FieldName = 226,
    DISPID_MvParameter_FieldType = 227,
    DISPID_MvParameter_GroupNumber = 234,
    DISPID_MvParameter_HistoryField_ID = 235,
    DISPID_MvParameter_HistoryFieldName = 236,
    DISPID_MvParameter_ItemID = 239,
    DISPID_MvParameter_ItemName = 240,
    DISPID_MvParameter_Level = 244,
    DISPID_MvParameter_Name = 248,
    DISPID_MvParameter_NodeName = 251,
    DISPID_MvParameter_ParameterID = 254,
    DISPID_MvParameter_ParameterName = 255,
    DISPID_MvParameter_ParameterType = 256,
    DISPID_MvParameter_ParameterTypeText = 257,
    DISPID_MvParameter_Record_ID = 261,
    DISPID_MvParameter_RecordName = 262,
    DISPID_MvParameter_RowNumber = 263,
    DISPID_MvParameter_SampleInfo = 266,
    DISPID_MvParameter_Source = 273,
    DISPID_MvParameter_SpreadSheetColumn = 274,
    DISPID_MvParameter_SpreadSheetMethod = 275,
    DISPID_MvParameter_SpreadSheetName = 276,
    DISPID_MvParameter_SpreadSheetRow = 277,
    DISPID_MvParameter_Status = 280,
    DISPID_MvParameter_StatusField_ID = 281,
    DISPID_MvParameter_TimeStamp = 283,
    DISPID_MvParameter_Type = 284,
    DISPID_MvParameter_TypeText = 285,
    DISPID_MvParameter_UnitConversionMultiplier = 286,
    DISPID_MvParameter_UnitConversionOffset = 287,
    DISPID_MvParameter_Use_QT_Format = 288,
    DISPID_MvParameter_Units = 299,
    DISPID_MvParameter_BoundUnits = 300,
    DISPID_MvParameter_Extrapolate = 311,
    DISPID_MvParameter_Interpolate = 312,
    DISPID_MvParameter_DataSource = 315,
    DISPID_MvParameter_SetParameterValues = 45,
    DISPID_MvParameter_GetParameterValues = 46,
    DISPID_MvParameter_SetParameterRecFld = 47,
    DISPID_MvParameter_GetParameterRecFld = 48,
    DISPID_MvParameter_GetDetails = 49,
    DISPID_MvParameter_CellText = 50,
    DISPID_MvParameter_ChangeServerName = 51,
    DISPID_MvParameter_Validate = 52,
    DISPID_MvParameter_Changed = 53,
    DISPID_MvParameter_Validate2 = 54,
    DISPID_MvParameter_SetUnitConversionFactor = 55,
    DISPID_MvParameter_SetUsingMap = 56,
    DISPID_MvParameter_SetUsingDataSourceAndMap = 57,
};

namespace mv_parameter_detail {
// putref_Value takes its VARIANT by pointer: dispatch hands the member the
// prepared argument itself.
inline HRESULT PutRefValue(IDispatch* self, VARIANT* args) {
    return static_cast<IMvParameter*>(self)->putref_Value(&args[0]);
}
inline constexpr mv::DispParam kPutRefValueParams[] = {{VT_VARIANT, mv::DispMode::In, nullptr}};
}  // namespace mv_parameter_detail

// A property of type T: getter and setter rows under one DISPID.
#define MV_PARAMETER_PROP(Name, ...)                                                             \
    mv::PropGet<&IMvParameter::get_##Name __VA_OPT__(, ) __VA_ARGS__>(DISPID_MvParameter_##Name, \
                                                                      u## #Name),                \
        mv::PropPut<&IMvParameter::put_##Name __VA_OPT__(, ) __VA_ARGS__>(                       \
            DISPID_MvParameter_##Name, u## #Name)

MV_DISPATCH_TABLE(
    IMvParameter, MV_PARAMETER_PROP(Description), MV_PARAMETER_PROP(Default),
    MV_PARAMETER_PROP(Type), MV_PARAMETER_PROP(TypeText), MV_PARAMETER_PROP(Units),
    MV_PARAMETER_PROP(UnitConversionMultiplier), MV_PARAMETER_PROP(UnitConversionOffset),
    MV_PARAMETER_PROP(ParameterType), MV_PARAMETER_PROP(ParameterTypeText),
    MV_PARAMETER_PROP(Source), MV_PARAMETER_PROP(SampleInfo), MV_PARAMETER_PROP(SpreadSheetName),
    MV_PARAMETER_PROP(SpreadSheetRow), MV_PARAMETER_PROP(SpreadSheetColumn),
    MV_PARAMETER_PROP(SpreadSheetMethod), MV_PARAMETER_PROP(EXE_RuntimeArgument),
    mv::PropGet<&IMvParameter::get_Value>(DISPID_VALUE, u"Value"),
    mv::PropPut<&IMvParameter::put_Value>(DISPID_VALUE, u"Value"), MV_PARAMETER_PROP(Level),
    MV_PARAMETER_PROP(Status), MV_PARAMETER_PROP(TimeStamp, VT_DATE), MV_PARAMETER_PROP(Record_ID),
    MV_PARAMETER_PROP(Field_ID), MV_PARAMETER_PROP(StatusField_ID),
    MV_PARAMETER_PROP(HistoryField_ID), MV_PARAMETER_PROP(NodeName), MV_PARAMETER_PROP(GroupNumber),
    MV_PARAMETER_PROP(RecordName), MV_PARAMETER_PROP(FieldName), MV_PARAMETER_PROP(BoundUnits),
    MV_PARAMETER_PROP(BindingType), MV_PARAMETER_PROP(BindingTypeText),
    MV_PARAMETER_PROP(FieldType), MV_PARAMETER_PROP(Use_QT_Format),
    MV_PARAMETER_PROP(DefinitionRecord_ID), MV_PARAMETER_PROP(HistoryFieldName),
    MV_PARAMETER_PROP(CalculationName), MV_PARAMETER_PROP(DataSetName),
    MV_PARAMETER_PROP(ColumnName), MV_PARAMETER_PROP(RowNumber), MV_PARAMETER_PROP(ItemName),
    MV_PARAMETER_PROP(ItemID), MV_PARAMETER_PROP(ParameterName), MV_PARAMETER_PROP(ParameterID),
    MV_PARAMETER_PROP(Name),
    mv::MethodByRef<&IMvParameter::SetParameterValues, VT_EMPTY, VT_EMPTY, VT_EMPTY, VT_DATE>(
        DISPID_MvParameter_SetParameterValues, u"SetParameterValues")
        .Names(u"pnewVal,pnewLevel,pnewStatus,pnewTimestamp"),
    mv::MethodByRef<&IMvParameter::GetParameterValues, VT_EMPTY, VT_EMPTY, VT_EMPTY, VT_DATE>(
        DISPID_MvParameter_GetParameterValues, u"GetParameterValues")
        .Names(u"pVal,pLevel,pStatus,pTimestamp"),
    mv::MethodByRef<&IMvParameter::SetParameterRecFld>(DISPID_MvParameter_SetParameterRecFld,
                                                       u"SetParameterRecFld")
        .Names(u"pRecord_ID,pField_ID,pHistoryField_ID"),
    mv::MethodByRef<&IMvParameter::GetParameterRecFld>(DISPID_MvParameter_GetParameterRecFld,
                                                       u"GetParameterRecFld")
        .Names(u"pRecord_ID,pField_ID,pHistoryField_ID"),
    mv::MethodByRef<&IMvParameter::GetDetails>(DISPID_MvParameter_GetDetails, u"GetDetails")
        .Names(u"pName,pTypeText,pParameterTypeText,pDefault,pSource,pValue,pStatus,pUnits"),
    MV_PARAMETER_PROP(CellText),
    mv::Method<&IMvParameter::ChangeServerName>(DISPID_MvParameter_ChangeServerName,
                                                u"ChangeServerName")
        .Names(u"OldServer,OldGroup,NewServer,NewGroup"),
    mv::MethodByRef<&IMvParameter::Validate>(DISPID_MvParameter_Validate, u"Validate")
        .Names(u"ErrorText"),
    MV_PARAMETER_PROP(Changed),
    mv::MethodByRef<&IMvParameter::Validate2, VT_BOOL>(DISPID_MvParameter_Validate2, u"Validate2")
        .Names(u"CheckUnits,ErrorText"),
    mv::Method<&IMvParameter::SetUnitConversionFactor>(DISPID_MvParameter_SetUnitConversionFactor,
                                                       u"SetUnitConversionFactor"),
    mv::MethodByRef<&IMvParameter::SetUsingMap>(DISPID_MvParameter_SetUsingMap, u"SetUsingMap")
        .Names(u"ServerName,RecordName,MapName,ErrorText"),
    MV_PARAMETER_PROP(Extrapolate, VT_BOOL),
    mv::MethodByRef<&IMvParameter::SetUsingDataSourceAndMap>(
        DISPID_MvParameter_SetUsingDataSourceAndMap, u"SetUsingDataSourceAndMap")
        .Names(u"DataSourceName,TagName,MapName,ErrorText"),
    MV_PARAMETER_PROP(Interpolate),
    mv::DispMember{DISPID_VALUE, u"Value", mv::DispKind::PropPutRef,
                   &mv_parameter_detail::PutRefValue, mv_parameter_detail::kPutRefValueParams, 1,
                   false, 0, nullptr},
    MV_PARAMETER_PROP(DataSource))

#undef MV_PARAMETER_PROP
