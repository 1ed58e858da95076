// IMvEngUnit: a named engineering unit with the linear factors that take a
// value in the unit to the standard unit of its unit type:
//   value in the standard unit = value × Multiplier + Offset.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvEngUnit : IDispatch {
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT get_Description(BSTR* pVal) = 0;
    virtual HRESULT put_Description(BSTR newVal) = 0;
    virtual HRESULT get_Multiplier(DOUBLE* pVal) = 0;
    // Any double is accepted, 0.0 included.
    virtual HRESULT put_Multiplier(DOUBLE newVal) = 0;
    virtual HRESULT get_Offset(DOUBLE* pVal) = 0;
    virtual HRESULT put_Offset(DOUBLE newVal) = 0;

protected:
    ~IMvEngUnit() = default;
};
MV_IID_OF(IMvEngUnit, IID_IMvEngUnit);

MV_DISPATCH_TABLE(IMvEngUnit, mv::PropGet<&IMvEngUnit::get_Name>(248, u"Name"),
                  mv::PropPut<&IMvEngUnit::put_Name>(248, u"Name"),
                  mv::PropGet<&IMvEngUnit::get_Description>(218, u"Description"),
                  mv::PropPut<&IMvEngUnit::put_Description>(218, u"Description"),
                  mv::PropGet<&IMvEngUnit::get_Multiplier>(247, u"Multiplier"),
                  mv::PropPut<&IMvEngUnit::put_Multiplier>(247, u"Multiplier"),
                  mv::PropGet<&IMvEngUnit::get_Offset>(252, u"Offset"),
                  mv::PropPut<&IMvEngUnit::put_Offset>(252, u"Offset"))
