// IMvCalcOLEArg: one argument of an automation method that a formula calls,
// and the formula parameter that supplies or receives it. Data only: the
// automation executor reads it at run time.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalcOLEArg : IDispatch {
    // Input, output or both: a ParameterTypes value, stored unchecked.
    virtual HRESULT get_OleMethodArgumentType(LONG* pVal) = 0;
    virtual HRESULT put_OleMethodArgumentType(LONG newVal) = 0;
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    // An OLE Automation variant type number, stored unchecked.
    virtual HRESULT get_ArgumentDataType(LONG* pVal) = 0;
    virtual HRESULT put_ArgumentDataType(LONG newVal) = 0;
    virtual HRESULT get_ParameterName(BSTR* pVal) = 0;
    virtual HRESULT put_ParameterName(BSTR newVal) = 0;

protected:
    ~IMvCalcOLEArg() = default;
};
MV_IID_OF(IMvCalcOLEArg, IID_IMvCalcOLEArg);

enum : DISPID {
    DISPID_MvCalcOLEArg_OleMethodArgumentType = 0x128,
    DISPID_MvCalcOLEArg_Name = 0xF8,
    DISPID_MvCalcOLEArg_ArgumentDataType = 0x129,
    DISPID_MvCalcOLEArg_ParameterName = 0xFF,
};

#define MV_CALC_OLE_ARG_PROP(Name)                                                  \
    mv::PropGet<&IMvCalcOLEArg::get_##Name>(DISPID_MvCalcOLEArg_##Name, u## #Name), \
        mv::PropPut<&IMvCalcOLEArg::put_##Name>(DISPID_MvCalcOLEArg_##Name, u## #Name)

MV_DISPATCH_TABLE(IMvCalcOLEArg, MV_CALC_OLE_ARG_PROP(OleMethodArgumentType),
                  MV_CALC_OLE_ARG_PROP(Name), MV_CALC_OLE_ARG_PROP(ArgumentDataType),
                  MV_CALC_OLE_ARG_PROP(ParameterName))

#undef MV_CALC_OLE_ARG_PROP
