// The environment tests' world with the module's own formula-library class:
// library files of DLL formulas from the test formula library, written by
// the library's SaveToFile, and the calls a client makes on a calculation's
// formula references.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "../executors/formula_artefacts.h"
#include "../frame/log_test_support.h"
#include "calculation/calculation.h"
#include "environment/library_cache.h"
#include "environment_test_support.h"
#include "interfaces/IMvFormulaRef.h"

namespace envtest {

// A value as its type number and text: "3:42".
inline std::string Shown(const VARIANT& value) {
    std::string text;
    CMvCalculation::SaveVARIANT(value, text);
    return std::to_string(value.vt) + ":" + text;
}

class LibraryFormulaTest : public EnvironmentTest {
protected:
    LibraryFormulaTest() : EnvironmentTest(true) {}
    void SetUp() override {
        EnvironmentTest::SetUp();
        // The module keeps both across loads.
        g_EnableStaleLibraryReload = false;
        g_bPerThreadLibraries = false;
    }

    // Saves Lib/<library>.mvc holding the formulas, its last-write time set
    // to `seconds` after the epoch.
    void WriteLibraryFile(const std::string& library, const std::vector<DllFormula>& formulas,
                          time_t seconds = 1000000) {
        SaveLibraryFile(base_ / "Lib" / (library + ".mvc"), formulas, seconds);
    }

    // GetFormula's answer: its result, the formula and the count.
    struct Lookup {
        HRESULT result;
        mv::ComPtr<IMvCalculation> formula;
        LONG count;
    };
    static Lookup GetFormula(IMvCalculation* calc, const char* name) {
        Lookup out{E_UNEXPECTED, nullptr, -1};
        out.result = calc->GetFormula(B(name).get(), out.formula.Put(), &out.count);
        return out;
    }
    static LONG ReferenceCount(IMvCalculation* calc) {
        mv::ComPtr<IMvObjCollection> references;
        LONG count = -1;
        if (SUCCEEDED(calc->get_FormulaRefs(references.Put())) && references)
            references->get_Count(&count);
        return count;
    }

    // Calls the script function of the calculation's reference of that name
    // with the arguments in call order; *error gets the exception's text.
    static HRESULT Call(IMvCalculation* calc, const char* name, std::vector<VARIANT> arguments,
                        VARIANT* result = nullptr, std::string* error = nullptr) {
        mv::ComPtr<IDispatch> reference;
        if (HRESULT hr = calc->GetFormulaRef(B(name).get(), reference.Put()); FAILED(hr)) return hr;
        std::vector<VARIANT> lastFirst(arguments.rbegin(), arguments.rend());
        DISPPARAMS params{lastFirst.data(), nullptr, static_cast<UINT>(lastFirst.size()), 0};
        EXCEPINFO info{};
        const HRESULT hr =
            reference->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &params, result, &info, nullptr);
        if (error) *error = info.bstrDescription ? mv::ToUtf8(info.bstrDescription) : "";
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrSource);
        return hr;
    }
    // The call's result as Shown prints it, or its failure's text.
    static std::string CallResult(IMvCalculation* calc, const char* name) {
        mv::Variant result;
        std::string error;
        if (FAILED(Call(calc, name, {}, &result, &error))) return "failed: " + error;
        return Shown(result);
    }

    logtest::ScopedEnv dllPath_{"MORVA_DLL_PATH", formula_test::FormulasDir().c_str()};
};

}  // namespace envtest
