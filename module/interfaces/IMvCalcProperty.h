// IMvCalcProperty and IMvCalcProperties: a tree of named entries that
// clients build and read. Each entry has a name, a number the module attaches
// no meaning to, and its own list of child entries; a list holds entries by
// position (from 1), never by name.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalcProperties;

struct IMvCalcProperty : IDispatch {
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT get_ParameterCount(LONG* pVal) = 0;
    virtual HRESULT put_ParameterCount(LONG newVal) = 0;
    // The entry's child list: the same object for the entry's whole life.
    virtual HRESULT get_Properties(IMvCalcProperties** pVal) = 0;

protected:
    ~IMvCalcProperty() = default;
};
MV_IID_OF(IMvCalcProperty, IID_IMvCalcProperty);

struct IMvCalcProperties : IDispatch {
    // Appends Value (duplicates allowed: each slot holds its own reference).
    virtual HRESULT Add(IMvCalcProperty* Value) = 0;
    virtual HRESULT get_Count(LONG* pVal) = 0;
    virtual HRESULT Item(LONG Index, IMvCalcProperty** pItem) = 0;
    virtual HRESULT RemoveAll() = 0;

protected:
    ~IMvCalcProperties() = default;
};
MV_IID_OF(IMvCalcProperties, IID_IMvCalcProperties);

MV_DISPATCH_TABLE(IMvCalcProperty, mv::PropGet<&IMvCalcProperty::get_Name>(1, u"Name"),
                  mv::PropPut<&IMvCalcProperty::put_Name>(1, u"Name"),
                  mv::PropGet<&IMvCalcProperty::get_ParameterCount>(2, u"ParameterCount"),
                  mv::PropPut<&IMvCalcProperty::put_ParameterCount>(2, u"ParameterCount"),
                  mv::PropGet<&IMvCalcProperty::get_Properties>(3, u"Properties"))

MV_DISPATCH_TABLE(IMvCalcProperties,
                  mv::Method<&IMvCalcProperties::Item>(DISPID_VALUE, u"Item").Names(u"Index"),
                  mv::Method<&IMvCalcProperties::Add>(1, u"Add").Names(u"Value"),
                  mv::PropGet<&IMvCalcProperties::get_Count>(2, u"Count"),
                  mv::Method<&IMvCalcProperties::RemoveAll>(6, u"RemoveAll"))
