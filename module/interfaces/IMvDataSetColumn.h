// IMvDataSetColumn: one column of a data set: its name, its data type as a
// ParameterDataType code (also as text) and an ADO data type number. Its
// position in the data set's Columns is the index of its cell in each row.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvDataSetColumn : IDispatch {
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    // A ParameterDataType code, stored unchecked.
    virtual HRESULT get_Type(LONG* pVal) = 0;
    virtual HRESULT put_Type(LONG newVal) = 0;
    virtual HRESULT get_AdoDataType(LONG* pVal) = 0;
    virtual HRESULT put_AdoDataType(LONG newVal) = 0;
    // Type as its name ("Float"), or in decimal when no name fits the low
    // 16 bits; the setter takes a name in any letter case and refuses any
    // other text with E_FAIL and "Invalid text value for TypeText".
    virtual HRESULT get_TypeText(BSTR* pVal) = 0;
    virtual HRESULT put_TypeText(BSTR newVal) = 0;

protected:
    ~IMvDataSetColumn() = default;
};
MV_IID_OF(IMvDataSetColumn, IID_IMvDataSetColumn);

enum : DISPID {
    DISPID_MvDataSetColumn_Name = 0xF8,
    DISPID_MvDataSetColumn_Type = 0x11C,
    DISPID_MvDataSetColumn_AdoDataType = 0xC9,
    DISPID_MvDataSetColumn_TypeText = 0x1,
};

#define MV_DATA_SET_COLUMN_PROP(Name)                                                     \
    mv::PropGet<&IMvDataSetColumn::get_##Name>(DISPID_MvDataSetColumn_##Name, u## #Name), \
        mv::PropPut<&IMvDataSetColumn::put_##Name>(DISPID_MvDataSetColumn_##Name, u## #Name)

MV_DISPATCH_TABLE(IMvDataSetColumn, MV_DATA_SET_COLUMN_PROP(Name), MV_DATA_SET_COLUMN_PROP(Type),
                  MV_DATA_SET_COLUMN_PROP(AdoDataType), MV_DATA_SET_COLUMN_PROP(TypeText))

#undef MV_DATA_SET_COLUMN_PROP
