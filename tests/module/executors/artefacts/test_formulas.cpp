// The formula library of the DLL-formula tests: functions that return
// values, write a parameter through the interface, and throw each kind of
// failure; SetShutdownCounter hands it a counter that DllShutdown counts on.
// FormulaRunCount reads (and ResetFormulaRunCount clears) the number of runs
// of WeightedSum.
#include <atomic>
#include <new>
#include <stdexcept>
#include <string>

#include "exceptions.h"
#include "interfaces/MvFormulaDll.h"

namespace {
int* g_shutdownCounter = nullptr;
std::atomic<LONG> g_runs{0};
}  // namespace

MV_FORMULA_EXPORT LONG FormulaRunCount() {
    return g_runs.load();
}

MV_FORMULA_EXPORT void ResetFormulaRunCount() {
    g_runs = 0;
}

// The sum of k x the k-th input parameter's value (k from 1, in collection
// order), returned and put into the parameter "Out" when there is one. The
// scheduled time of the run goes into "Scheduled" (UTC) and "ScheduledLocal"
// when they exist. An input of -1 is a sensor fault: the run fails.
MV_FORMULA_EXPORT void WeightedSum(IMvCalculation* calc, VARIANT* result) {
    ++g_runs;
    mv::ComPtr<IMvObjCollection> parameters;
    LONG count = 0;
    if (FAILED(calc->get_Parameters(parameters.Put())) || !parameters) throw "no parameters";
    parameters->get_Count(&count);
    double sum = 0.0;
    LONG k = 0;
    // The outputs are found on the same walk, so that an absent one costs
    // no failed look-up.
    mv::ComPtr<IMvParameter> out, scheduled, scheduledLocal;
    for (LONG i = 1; i <= count; ++i) {
        mv::ComPtr<IDispatch> item;
        mv::ComPtr<IMvParameter> parameter;
        if (FAILED(parameters->ItemByIndex(i, item.Put())) || !item || FAILED(item.As(&parameter)))
            continue;
        LONG type = 0;
        parameter->get_ParameterType(&type);
        if (type != mvcInput) {
            mv::Bstr name;
            parameter->get_Name(name.Out());
            const std::u16string_view text = name.view();
            if (text == u"Out") out = parameter;
            if (text == u"Scheduled") scheduled = parameter;
            if (text == u"ScheduledLocal") scheduledLocal = parameter;
            continue;
        }
        ++k;
        mv::Variant value;
        parameter->get_Value(&value);
        if (FAILED(value.ChangeType(VT_R8))) throw std::runtime_error("input is not a number");
        if (value.dblVal == -1.0)
            throw std::runtime_error("sensor fault on input " + std::to_string(k));
        sum += static_cast<double>(k) * value.dblVal;
    }
    if (out) out->put_Value(mv::Variant(sum));
    DATE when = 0.0;
    if (scheduled && SUCCEEDED(calc->GetScheduledTimeUtc(&when)))
        scheduled->put_Value(mv::Variant(static_cast<double>(when)));
    if (scheduledLocal && SUCCEEDED(calc->GetScheduledTime(&when)))
        scheduledLocal->put_Value(mv::Variant(static_cast<double>(when)));
    *result = mv::Variant(sum).Detach();
}

MV_FORMULA_EXPORT void SetShutdownCounter(int* counter) {
    g_shutdownCounter = counter;
}

MV_FORMULA_EXPORT void DllShutdown() {
    if (g_shutdownCounter) ++*g_shutdownCounter;
}

MV_FORMULA_EXPORT void ReturnFortyTwo(IMvCalculation*, VARIANT* result) {
    *result = mv::Variant(LONG{42}).Detach();
}

// A text that cannot be made for lack of memory fails the run, as a
// formula's own failure.
MV_FORMULA_EXPORT void ReturnText(IMvCalculation*, VARIANT* result) {
    mv::Variant text(u"forty-two");
    if (!text.bstrVal) throw std::bad_alloc();
    *result = text.Detach();
}

// B = 2 x A; returns nothing.
MV_FORMULA_EXPORT void DoubleAIntoB(IMvCalculation* calc, VARIANT*) {
    mv::ComPtr<IMvParameter> a, b;
    calc->GetParameter(mv::Bstr(u"A").get(), a.Put());
    calc->GetParameter(mv::Bstr(u"B").get(), b.Put());
    if (!a || !b) throw "missing parameter";
    mv::Variant value;
    a->get_Value(&value);
    if (FAILED(value.ChangeType(VT_R8))) throw E_FAIL;
    b->put_Value(mv::Variant(value.dblVal * 2));
}

// B = A & "-x" of a text A; returns 7. Each step that fails, for lack of
// memory too, fails the run.
MV_FORMULA_EXPORT void SuffixAIntoB(IMvCalculation* calc, VARIANT* result) {
    mv::ComPtr<IMvParameter> a, b;
    calc->GetParameter(mv::Bstr(u"A").get(), a.Put());
    calc->GetParameter(mv::Bstr(u"B").get(), b.Put());
    if (!a || !b) throw "missing parameter";
    mv::Variant value;
    if (FAILED(a->get_Value(&value)) || value.vt != VT_BSTR || !value.bstrVal) throw E_FAIL;
    mv::Variant suffixed(std::u16string(value.bstrVal) + u"-x");
    if (!suffixed.bstrVal || FAILED(b->put_Value(suffixed))) throw E_FAIL;
    *result = mv::Variant(LONG{7}).Detach();
}

// Leaves a value behind before it throws.
MV_FORMULA_EXPORT void ThrowRuntimeError(IMvCalculation*, VARIANT* result) {
    *result = mv::Variant(u"half done").Detach();
    throw std::runtime_error("tank empty");
}

#define MV_THROWING_FORMULA(name, thrown)                    \
    MV_FORMULA_EXPORT void name(IMvCalculation*, VARIANT*) { \
        throw thrown;                                        \
    }
MV_THROWING_FORMULA(ThrowLong, 255L)
MV_THROWING_FORMULA(ThrowDword, DWORD{255})
MV_THROWING_FORMULA(ThrowInt, 255)
MV_THROWING_FORMULA(ThrowCException,  // 300 characters
                    COleDispatchException(E_FAIL,
                                          u"Blend ratio out of range: " + std::u16string(274, u'#'),
                                          u"Blend"))
MV_THROWING_FORMULA(ThrowLogicError, std::invalid_argument("ratio below zero"))
MV_THROWING_FORMULA(ThrowText, "Feed pump offline")
MV_THROWING_FORMULA(ThrowOther, std::string("not a type the module knows"))
