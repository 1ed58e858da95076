// CMvCalcCoreFunctions: created by a formula while it runs, to reach the
// calculation running innermost on the calling thread. Holds no state: each
// call looks the calculation up afresh.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalcCoreFunctions.h"
#include "interfaces/IMvCalculation.h"

class CMvCalcCoreFunctions : public mv::ComObjectRoot<CMvCalcCoreFunctions>,
                             public mv::DispatchImpl<IMvCalcCoreFunctions>,
                             public mv::SupportErrorInfoImpl<IMvCalcCoreFunctions> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalcCoreFunctions, mv::Via<IDispatch, IMvCalcCoreFunctions>,
                       ISupportErrorInfo>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcCoreFunctions;

    HRESULT ScheduledTime(DATE* pVal) override;
    HRESULT LastExecutedTime(DATE* pVal) override;
    HRESULT ScheduledTimeUtc(DATE* pVal) override;
    HRESULT Redim(IMvParameter* pArray, LONG newCount) override;

    // The running calculation with a reference for the caller; E_FAIL with
    // the error information set when there is none.
    HRESULT GetCalculationObject(IMvCalculation** calc);

private:
    HRESULT Report(const char16_t* text, HRESULT hr);
    HRESULT Scheduled(const char* name, HRESULT (IMvCalculation::*get)(DATE*), DATE* pVal);
};
