// IMvCalcCoreFunctions: what a running formula reaches of the calculation
// that runs it on the calling thread.
#pragma once

#include "comobj.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalcCoreFunctions : IDispatch {
    virtual HRESULT ScheduledTime(DATE* pVal) = 0;
    virtual HRESULT LastExecutedTime(DATE* pVal) = 0;
    virtual HRESULT ScheduledTimeUtc(DATE* pVal) = 0;
    // Resizes the parameter's value collection to newCount elements.
    virtual HRESULT Redim(IMvParameter* pArray, LONG newCount) = 0;

protected:
    ~IMvCalcCoreFunctions() = default;
};
MV_IID_OF(IMvCalcCoreFunctions, IID_IMvCalcCoreFunctions);

MV_DISPATCH_TABLE(IMvCalcCoreFunctions,
                  mv::Method<&IMvCalcCoreFunctions::ScheduledTime, VT_DATE>(1, u"ScheduledTime"),
                  mv::Method<&IMvCalcCoreFunctions::LastExecutedTime, VT_DATE>(2,
                                                                               u"LastExecutedTime"),
                  mv::Method<&IMvCalcCoreFunctions::ScheduledTimeUtc, VT_DATE>(3,
                                                                               u"ScheduledTimeUtc"),
                  mv::Method<&IMvCalcCoreFunctions::Redim>(4, u"Redim").Names(u"pArray,newCount"))
