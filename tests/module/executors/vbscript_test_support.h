// A VBScript calculation to run: ReturnValue, the constant inputs A = 3 (of
// status -3) and B = 4, the output C; and its results read as text.
#pragma once

#include <string>

#include "../calculation/calculation_test_support.h"
#include "frame/tls_slots.h"

namespace vbscript_test {

inline mv::ComPtr<IMvParameter> Parameter(IMvCalculation* calc, const char16_t* name) {
    mv::ComPtr<IMvParameter> p;
    if (FAILED(calc->GetParameter(mv::Bstr(name).get(), p.Put())))
        calc->AddParameter(mv::Bstr(name).get(), p.Put());
    return p;
}

inline calculation_test::Calculation ScriptCalculation(const std::string& script,
                                                       LONG outputBinding = mvcNone) {
    auto calc = calculation_test::NewCalculation();
    calc->put_FormulaType(mvcVBS_Script_Method);
    calc->put_ScriptText(mv::Bstr(script).get());
    for (const auto& [name, value] : {std::pair{u"A", 3}, std::pair{u"B", 4}}) {
        auto input = Parameter(calc.get(), name);
        input->put_ParameterType(mvcInput), input->put_BindingType(mvcConstant);
        input->put_Value(mv::Variant(LONG{value}));
    }
    Parameter(calc.get(), u"A")->put_Status(-3);
    Parameter(calc.get(), u"C")->put_ParameterType(mvcOutput);
    Parameter(calc.get(), u"C")->put_BindingType(outputBinding);
    return calc;
}

// A value as the language prints it: "" for Empty.
inline std::string ValueOf(IMvCalculation* calc, const char16_t* parameter = nullptr) {
    mv::Variant value, text;
    if (parameter)
        Parameter(calc, parameter)->get_Value(&value);
    else
        calc->get_Value(&value);
    if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) return "(no text)";
    return mv::ToUtf8(text.bstrVal);
}

inline std::string ErrorOf(IMvCalculation* calc) {
    return calculation_test::TextOf(calc, &IMvCalculation::get_ErrorText);
}

inline LONG PositionOf(IMvCalculation* calc) {
    LONG position = -1;
    calc->get_ErrorPosition(&position);
    return position;
}

}  // namespace vbscript_test
