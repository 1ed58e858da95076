// The formula library of the DLL-formula tests. Its functions read and write
// the calculation's parameters, return values, and throw each kind of
// failure the module reports; SetShutdownCounter hands it a counter that
// DllShutdown increments.
#include <stdexcept>
#include <string>

#include "exceptions.h"
#include "interfaces/MvFormulaDll.h"

namespace {

int* g_shutdownCounter = nullptr;

// A framework exception of the library's own.
class FormulaError : public CException {
public:
    explicit FormulaError(std::string message) : m_Message(std::move(message)) {}

protected:
    std::string Message() const override { return m_Message; }

private:
    std::string m_Message;
};

IMvParameter* Parameter(IMvCalculation* calc, const char16_t* name) {
    IMvParameter* parameter = nullptr;
    BSTR text = SysAllocString(name);
    calc->GetParameter(text, &parameter);
    SysFreeString(text);
    if (!parameter) throw "missing parameter";
    return parameter;
}

}  // namespace

MV_FORMULA_EXPORT void SetShutdownCounter(int* counter) {
    g_shutdownCounter = counter;
}

MV_FORMULA_EXPORT void DllShutdown() {
    if (g_shutdownCounter) ++*g_shutdownCounter;
}

MV_FORMULA_EXPORT void ReturnFortyTwo(IMvCalculation*, VARIANT* result) {
    result->vt = VT_I4;
    result->lVal = 42;
}

MV_FORMULA_EXPORT void ReturnText(IMvCalculation*, VARIANT* result) {
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(u"forty-two");
}

// B = 2 x A, through the parameters' Value; returns nothing.
MV_FORMULA_EXPORT void DoubleAIntoB(IMvCalculation* calc, VARIANT*) {
    IMvParameter* a = Parameter(calc, u"A");
    IMvParameter* b = Parameter(calc, u"B");
    VARIANT value;
    VariantInit(&value);
    a->get_Value(&value);
    HRESULT hr = VariantChangeType(&value, &value, 0, VT_R8);
    if (SUCCEEDED(hr)) {
        value.dblVal *= 2;
        b->put_Value(value);
    }
    VariantClear(&value);
    a->Release();
    b->Release();
    if (FAILED(hr)) throw static_cast<HRESULT>(hr);
}

MV_FORMULA_EXPORT void ThrowLong(IMvCalculation*, VARIANT*) {
    throw 255L;
}

MV_FORMULA_EXPORT void ThrowDword(IMvCalculation*, VARIANT*) {
    throw DWORD{255};
}

MV_FORMULA_EXPORT void ThrowInt(IMvCalculation*, VARIANT*) {
    throw 255;
}

// 300 characters: the module keeps the first 255.
MV_FORMULA_EXPORT void ThrowCException(IMvCalculation*, VARIANT*) {
    throw FormulaError("Blend ratio out of range: " + std::string(274, '#'));
}

MV_FORMULA_EXPORT void ThrowLogicError(IMvCalculation*, VARIANT*) {
    throw std::invalid_argument("ratio below zero");
}

// Leaves a value behind before it throws: the module frees it.
MV_FORMULA_EXPORT void ThrowRuntimeError(IMvCalculation*, VARIANT* result) {
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(u"half done");
    throw std::runtime_error("tank empty");
}

MV_FORMULA_EXPORT void ThrowText(IMvCalculation*, VARIANT*) {
    throw "Feed pump offline";
}

MV_FORMULA_EXPORT void ThrowOther(IMvCalculation*, VARIANT*) {
    throw std::string("not a type the module knows");
}
