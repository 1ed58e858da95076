// The formula library of the DLL-formula tests: functions that return
// values, write a parameter through the interface, and throw each kind of
// failure; SetShutdownCounter hands it a counter that DllShutdown counts on.
#include <stdexcept>
#include <string>

#include "exceptions.h"
#include "interfaces/MvFormulaDll.h"

namespace {
int* g_shutdownCounter = nullptr;
}  // namespace

MV_FORMULA_EXPORT void SetShutdownCounter(int* counter) {
    g_shutdownCounter = counter;
}

MV_FORMULA_EXPORT void DllShutdown() {
    if (g_shutdownCounter) ++*g_shutdownCounter;
}

MV_FORMULA_EXPORT void ReturnFortyTwo(IMvCalculation*, VARIANT* result) {
    *result = mv::Variant(LONG{42}).Detach();
}

MV_FORMULA_EXPORT void ReturnText(IMvCalculation*, VARIANT* result) {
    *result = mv::Variant(u"forty-two").Detach();
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
