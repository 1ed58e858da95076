// IMvCalcValue: one value with its quality and its time. IMvCalcValues: a
// resizable list of such values, positions counting from 1, so that one
// VARIANT can carry a whole series of values, each with its own quality.
//
// Value, Level, Status and TimeStamp carry the DISPIDs of the parameter's
// properties of the same names, so code that reads a parameter's value and
// quality by DISPID reads a calculation value the same way.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalcValue : IDispatch {
    virtual HRESULT get_Value(VARIANT* pVal) = 0;
    // VT_NULL empties the value; anything else is stored with references
    // resolved.
    virtual HRESULT put_Value(VARIANT newVal) = 0;
    virtual HRESULT get_Level(SHORT* pVal) = 0;
    virtual HRESULT put_Level(SHORT newVal) = 0;
    virtual HRESULT get_Status(SHORT* pVal) = 0;
    virtual HRESULT put_Status(SHORT newVal) = 0;
    virtual HRESULT get_TimeStamp(DATE* pVal) = 0;
    virtual HRESULT put_TimeStamp(DATE newVal) = 0;
    // Sets the fields whose pointer is not null, all in one hold of the
    // object's lock.
    virtual HRESULT SetParameterValues(VARIANT* pnewVal, SHORT* pnewLevel, SHORT* pnewStatus,
                                       DATE* pnewTimestamp) = 0;

protected:
    ~IMvCalcValue() = default;
};
MV_IID_OF(IMvCalcValue, IID_IMvCalcValue);

MV_DISPATCH_TABLE(IMvCalcValue, mv::PropGet<&IMvCalcValue::get_Value>(DISPID_VALUE, u"Value"),
                  mv::PropPut<&IMvCalcValue::put_Value>(DISPID_VALUE, u"Value"),
                  mv::PropGet<&IMvCalcValue::get_Level>(244, u"Level"),
                  mv::PropPut<&IMvCalcValue::put_Level>(244, u"Level"),
                  mv::PropGet<&IMvCalcValue::get_Status>(280, u"Status"),
                  mv::PropPut<&IMvCalcValue::put_Status>(280, u"Status"),
                  mv::PropGet<&IMvCalcValue::get_TimeStamp, VT_DATE>(283, u"TimeStamp"),
                  mv::PropPut<&IMvCalcValue::put_TimeStamp, VT_DATE>(283, u"TimeStamp"),
                  mv::MethodByRef<&IMvCalcValue::SetParameterValues, VT_EMPTY, VT_EMPTY, VT_EMPTY,
                                  VT_DATE>(1, u"SetParameterValues")
                      .Names(u"pnewVal,pnewLevel,pnewStatus,pnewTimestamp"))

struct IMvCalcValues : IDispatch {
    // Appends Value (duplicates allowed: each slot holds its own reference).
    virtual HRESULT Add(IMvCalcValue* Value) = 0;
    virtual HRESULT get_Count(LONG* pVal) = 0;
    virtual HRESULT Item(LONG Index, IMvCalcValue** pItem) = 0;
    virtual HRESULT RemoveAll() = 0;
    // Drops the values above newMax; fills new places with fresh values.
    virtual HRESULT SetSize(LONG newMax) = 0;

protected:
    ~IMvCalcValues() = default;
};
MV_IID_OF(IMvCalcValues, IID_IMvCalcValues);

MV_DISPATCH_TABLE(IMvCalcValues,
                  mv::Method<&IMvCalcValues::Item>(DISPID_VALUE, u"Item").Names(u"Index"),
                  mv::Method<&IMvCalcValues::Add>(1, u"Add").Names(u"Value"),
                  mv::PropGet<&IMvCalcValues::get_Count>(2, u"Count"),
                  mv::Method<&IMvCalcValues::RemoveAll>(6, u"RemoveAll"),
                  mv::Method<&IMvCalcValues::SetSize>(7, u"SetSize").Names(u"newMax"))
