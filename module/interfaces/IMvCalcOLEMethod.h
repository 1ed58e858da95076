// IMvCalcOLEMethod: one property or method of the automation object that a
// formula calls, the formula parameter that goes with it, and the method's
// arguments. Data only: the automation executor reads it at run time.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalcOLEArg.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/MvMorvaCalc_ids.h"

// What a method description names (OleObjectFieldType); 0 is neither.
enum CalcOLEFieldType : LONG {
    mvcProperty = 1,
    mvcMethod = 2,
};

struct IMvCalcOLEMethod : IDispatch {
    // A CalcOLEFieldType value, stored unchecked.
    virtual HRESULT get_OleObjectFieldType(LONG* pVal) = 0;
    virtual HRESULT put_OleObjectFieldType(LONG newVal) = 0;
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    // An OLE Automation variant type number, stored unchecked.
    virtual HRESULT get_FieldDataType(LONG* pVal) = 0;
    virtual HRESULT put_FieldDataType(LONG newVal) = 0;
    virtual HRESULT get_ParameterName(BSTR* pVal) = 0;
    virtual HRESULT put_ParameterName(BSTR newVal) = 0;
    // The arguments in the method's order: one collection for the object's
    // whole life.
    virtual HRESULT get_Arguments(IMvObjCollection** pVal) = 0;
    // Files a new argument under Name. A name already filed (in any letter
    // case) fails with the collection's error information and a null
    // argument.
    virtual HRESULT AddArgument(BSTR Name, IMvCalcOLEArg** pArg) = 0;
    // The argument filed under Name; an unknown name fails with the
    // collection's error information and a null argument.
    virtual HRESULT GetArgument(BSTR Name, IMvCalcOLEArg** pArg) = 0;
    // The looked-up dispatch identifier, -1 until the executor stores one;
    // not persisted.
    virtual HRESULT get_DispId(LONG* pVal) = 0;
    virtual HRESULT put_DispId(LONG newVal) = 0;

protected:
    ~IMvCalcOLEMethod() = default;
};
MV_IID_OF(IMvCalcOLEMethod, IID_IMvCalcOLEMethod);

enum : DISPID {
    DISPID_MvCalcOLEMethod_OleObjectFieldType = 0x126,
    DISPID_MvCalcOLEMethod_Name = 0xF8,
    DISPID_MvCalcOLEMethod_FieldDataType = 0x127,
    DISPID_MvCalcOLEMethod_ParameterName = 0xFF,
    DISPID_MvCalcOLEMethod_Arguments = 0x7DA,
    DISPID_MvCalcOLEMethod_AddArgument = 1,
    DISPID_MvCalcOLEMethod_GetArgument = 2,
    DISPID_MvCalcOLEMethod_DispId = 3,
};

#define MV_CALC_OLE_METHOD_PROP(Name)                                                     \
    mv::PropGet<&IMvCalcOLEMethod::get_##Name>(DISPID_MvCalcOLEMethod_##Name, u## #Name), \
        mv::PropPut<&IMvCalcOLEMethod::put_##Name>(DISPID_MvCalcOLEMethod_##Name, u## #Name)

MV_DISPATCH_TABLE(
    IMvCalcOLEMethod, MV_CALC_OLE_METHOD_PROP(OleObjectFieldType), MV_CALC_OLE_METHOD_PROP(Name),
    MV_CALC_OLE_METHOD_PROP(FieldDataType), MV_CALC_OLE_METHOD_PROP(ParameterName),
    mv::PropGet<&IMvCalcOLEMethod::get_Arguments>(DISPID_MvCalcOLEMethod_Arguments, u"Arguments"),
    mv::Method<&IMvCalcOLEMethod::AddArgument>(DISPID_MvCalcOLEMethod_AddArgument, u"AddArgument")
        .Names(u"Name"),
    mv::Method<&IMvCalcOLEMethod::GetArgument>(DISPID_MvCalcOLEMethod_GetArgument, u"GetArgument")
        .Names(u"Name"),
    MV_CALC_OLE_METHOD_PROP(DispId))

#undef MV_CALC_OLE_METHOD_PROP
