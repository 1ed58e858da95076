// The formula of the run benchmark: ten inputs A0 to A9 read through the
// calculation's interface, blended with fixed weights into the returned
// value. BlendKernel is the same arithmetic over plain numbers.
#include "interfaces/MvFormulaDll.h"

namespace {

constexpr int kInputs = 10;

double Weighted(const double (&x)[kInputs]) {
    double sum = 0.0;
    for (int i = 0; i < kInputs; ++i) sum += x[i] * (i + 1) / 55.0;
    return sum;
}

}  // namespace

MV_FORMULA_EXPORT void Blend10(IMvCalculation* calc, VARIANT* result) {
    static const char16_t* const kNames[kInputs] = {u"A0", u"A1", u"A2", u"A3", u"A4",
                                                    u"A5", u"A6", u"A7", u"A8", u"A9"};
    double x[kInputs] = {};
    for (int i = 0; i < kInputs; ++i) {
        mv::ComPtr<IMvParameter> p;
        if (FAILED(calc->GetParameter(mv::Bstr(kNames[i]).get(), p.Put())) || !p)
            throw "missing input";
        mv::Variant value;
        p->get_Value(&value);
        if (FAILED(value.ChangeType(VT_R8))) throw "input is not a number";
        x[i] = value.dblVal;
    }
    *result = mv::Variant(Weighted(x)).Detach();
}

MV_FORMULA_EXPORT double BlendKernel(const double* x) {
    double copy[kInputs];
    for (int i = 0; i < kInputs; ++i) copy[i] = x[i];
    return Weighted(copy);
}
