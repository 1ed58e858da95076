// Helpers of the calculation tests: a new calculation, the module's classes
// served from the process's class table (collections recreate their members
// by class) and property access by name.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "../parameters/parameter_test_support.h"
#include "calculation/calculation.h"
#include "executors/calc_ole_arg.h"
#include "executors/calc_ole_method.h"
#include "sources/data_set.h"
#include "sources/data_set_column.h"
#include "sources/dravik_connect.h"

namespace calculation_test {

using parameter_test::Text;
using Calculation = mv::ComPtr<mv::ComObject<CMvCalculation>>;

inline Calculation NewCalculation() {
    Calculation calc;
    EXPECT_EQ(mv::MakeComObject(&calc), S_OK);
    return calc;
}

// Every class a calculation document holds, served for the object's life.
struct ServedClasses {
    std::vector<values_test::ServedClass> served;
    ServedClasses() {
        using values_test::ServedClass;
        served.push_back(ServedClass::Of<CMvCalculation>(CLSID_MvCalculation));
        served.push_back(ServedClass::Of<CMvParameter>(CLSID_MvParameter));
        served.push_back(ServedClass::Of<CMvObjCollection>(CLSID_MvObjCollection));
        served.push_back(ServedClass::Of<CMvDataSet>(CLSID_MvDataSet));
        served.push_back(ServedClass::Of<CMvDataSetColumn>(CLSID_MvDataSetColumn));
        served.push_back(ServedClass::Of<CMvCalcOLEMethod>(CLSID_MvCalcOLEMethod));
        served.push_back(ServedClass::Of<CMvCalcOLEArg>(CLSID_MvCalcOLEArg));
        served.push_back(ServedClass::Of<CMvDravikConnect>(CLSID_MvDravikConnect));
    }
};

// The calculation's parameter of that name (made when `add`), null when
// there is none.
inline mv::ComPtr<IMvParameter> Param(IMvCalculation* calc, const char16_t* name,
                                      bool add = false) {
    mv::ComPtr<IMvParameter> p;
    (void)(add ? calc->AddParameter(mv::Bstr(name).get(), p.Put())
               : calc->GetParameter(mv::Bstr(name).get(), p.Put()));
    return p;
}

// The parameter's Value as a double, -1 when it is not one.
inline double NumberIn(IMvParameter* p) {
    mv::Variant v;
    p->get_Value(&v);
    return v.vt == VT_R8 ? v.dblVal : -1.0;
}

// The names of the calculation's parameters in collection order, each
// followed by a blank.
inline std::string ParameterNames(IMvCalculation* calc) {
    mv::ComPtr<IMvObjCollection> parameters;
    calc->get_Parameters(parameters.Put());
    std::string names;
    for (const auto& p : MvMembersAs<IMvParameter>(parameters.get()))
        names += (p ? parameter_test::TextOf(p.get(), &IMvParameter::get_Name) : "?") + " ";
    return names;
}

inline mv::Variant Get(IDispatch* d, const char16_t* name) {
    mv::Variant v;
    EXPECT_EQ(mv::DispGetPropertyByName(d, name, &v), S_OK) << mv::ToUtf8(name);
    return v;
}

inline std::string TextOf(IMvCalculation* calc, HRESULT (IMvCalculation::*get)(BSTR*)) {
    mv::Bstr b;
    EXPECT_EQ((calc->*get)(b.Out()), S_OK);
    EXPECT_NE(b.get(), nullptr);
    return b.Utf8();
}

}  // namespace calculation_test
