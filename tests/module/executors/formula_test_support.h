// Helpers of the formula-kind tests: a parameter's value, and a binding
// handler that records the output pass.
#pragma once

#include <string>
#include <vector>

#include "../calculation/calculation_test_support.h"
#include "formula_artefacts.h"

namespace formula_test {

inline mv::Variant ValueOf(IMvCalculation* calc, const char16_t* name) {
    mv::ComPtr<IMvParameter> parameter;
    EXPECT_EQ(calc->GetParameter(mv::Bstr(name).get(), parameter.Put()), S_OK);
    mv::Variant value;
    if (parameter) parameter->get_Value(&value);
    return value;
}

// Same type and value; an empty value has no value to compare.
inline void ExpectValue(const VARIANT& got, const VARIANT& want) {
    if (want.vt == VT_EMPTY)
        EXPECT_EQ(got.vt, VT_EMPTY);
    else
        parameter_test::ExpectSame(got, want);
}

// The names of the records that the output pass handed to binding kind 10,
// while the object lives.
class OutputPassRecorder {
public:
    OutputPassRecorder() {
        Names().clear();
        MvSetBindingHandler(mvcQuenbus, &Record);
    }
    ~OutputPassRecorder() { MvSetBindingHandler(mvcQuenbus, nullptr); }
    OutputPassRecorder(const OutputPassRecorder&) = delete;
    OutputPassRecorder& operator=(const OutputPassRecorder&) = delete;

    static std::vector<std::string>& Names() {
        static std::vector<std::string> names;
        return names;
    }

private:
    static void Record(const MvBindingCall& call) {
        if (call.Pass == OUTPUT_PASS && call.Record) Names().push_back(call.Record->Name);
    }
};

}  // namespace formula_test
