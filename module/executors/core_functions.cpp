#include "executors/core_functions.h"

#include "calculation/calculation.h"
#include "frame/calc_variant.h"
#include "frame/trace.h"
#include "interfaces/IMvCalcValue.h"

namespace {
constexpr const char16_t* kProgId = u"Morva.Calc.CoreFunctions.1";
}  // namespace

HRESULT CMvCalcCoreFunctions::Report(const char16_t* text, HRESULT hr) {
    return mv::ReportError(kProgId, IID_IMvCalcCoreFunctions, text, hr);
}

HRESULT CMvCalcCoreFunctions::GetCalculationObject(IMvCalculation** calc) {
    MvStepFrame step("CMvCalcCoreFunctions::GetCalculationObject");
    if (!calc) return E_POINTER;
    *calc = nullptr;
    IUnknown* running = MvRunningCalculation();
    if (!running) return Report(u"Calculation object was not saved to storage.", E_FAIL);
    if (FAILED(running->QueryInterface(IID_IMvCalculation, reinterpret_cast<void**>(calc))) ||
        !*calc)
        return Report(u"Query interface for calculation failed.", E_FAIL);
    return S_OK;
}

HRESULT CMvCalcCoreFunctions::Scheduled(const char* name, HRESULT (IMvCalculation::*get)(DATE*),
                                        DATE* pVal) {
    return MvMethodFrame(name, [&]() -> HRESULT {
        if (!pVal) return E_POINTER;
        mv::ComPtr<IMvCalculation> calc;
        HRESULT hr = GetCalculationObject(calc.Put());
        if (FAILED(hr)) return hr;
        hr = (calc.get()->*get)(pVal);
        if (FAILED(hr)) return Report(u"Calculation not scheduled.", hr);
        return hr;
    });
}

HRESULT CMvCalcCoreFunctions::ScheduledTime(DATE* pVal) {
    return Scheduled("CMvCalcCoreFunctions::ScheduledTime", &IMvCalculation::GetScheduledTime,
                     pVal);
}

HRESULT CMvCalcCoreFunctions::ScheduledTimeUtc(DATE* pVal) {
    return Scheduled("CMvCalcCoreFunctions::ScheduledTimeUtc", &IMvCalculation::GetScheduledTimeUtc,
                     pVal);
}

HRESULT CMvCalcCoreFunctions::LastExecutedTime(DATE* pVal) {
    if (!pVal) return E_POINTER;
    mv::ComPtr<IMvCalculation> calc;
    const HRESULT hr = GetCalculationObject(calc.Put());
    if (FAILED(hr)) return hr;
    (void)calc->get_LastExecution(pVal);
    return S_OK;
}

// A value object that is no value collection, or a collection that cannot
// be made, leaves the parameter as it was; so does a value that cannot be
// read for lack of memory (E_OUTOFMEMORY), which would pass for no array.
HRESULT CMvCalcCoreFunctions::Redim(IMvParameter* pArray, LONG newCount) {
    return MvMethodFrame("CMvCalcCoreFunctions::Redim", [&]() -> HRESULT {
        if (!pArray) return E_POINTER;
        if (newCount < 0) return Report(u"Redim size cannot be negative", E_FAIL);
        mv::Variant value;
        MvThrowIfOutOfMemory(pArray->get_Value(&value));
        mv::ComPtr<IMvCalcValues> values;
        if (value.vt == VT_DISPATCH && value.pdispVal) {
            if (FAILED(value.pdispVal->QueryInterface(IID_IMvCalcValues, values.PutVoid())) ||
                !values)
                return Report(u"Redim: parameter value is not a value collection", E_FAIL);
            return values->SetSize(newCount);
        }
        HRESULT hr = CoCreateInstance(CLSID_MvCalcValues, nullptr, CLSCTX_ALL, IID_IMvCalcValues,
                                      values.PutVoid());
        if (FAILED(hr) || !values)
            return Report(u"Redim: could not create a value collection", FAILED(hr) ? hr : E_FAIL);
        value.Clear();
        value.vt = VT_DISPATCH;
        value.pdispVal = values.get();
        value.pdispVal->AddRef();
        SHORT level = mvcNO_QLEVEL;
        SHORT status = mvcQSTATUS_NO_STATUS;
        MvThrowIfOutOfMemory(pArray->SetParameterValues(&value, &level, &status, nullptr));
        return values->SetSize(newCount);
    });
}
