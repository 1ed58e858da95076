// The out-of-memory sweep's rows for script runs.
#include "corvex_sim.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"
#include "out_of_memory_sweep.h"

namespace oomtest {
namespace {

mv::ComPtr<IMvParameter> Input(IMvCalculation* calc, const char16_t* name, LONG binding) {
    mv::ComPtr<IMvParameter> parameter;
    calc->AddParameter(mv::Bstr(name).get(), parameter.Put());
    parameter->put_ParameterType(mvcInput);
    parameter->put_BindingType(binding);
    return parameter;
}

// A run of `calc` in the window: a success with no error text gives
// `expected`, and once memory is back the next run does.
std::string RunGives(IMvCalculation* calc, const std::u16string& expected, bool staying) {
    std::u16string got;
    auto right = [&] {
        mv::Variant value, text;
        got = calc->get_Value(&value) == S_OK &&
                      SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR))
                  ? std::u16string(text.bstrVal, SysStringLen(text.bstrVal))
                  : u"(none)";
        return got == expected;
    };
    const HRESULT hr = InWindow([&] { return calc->Calculate(); }, staying);
    if (auto e = Answered(hr); !e.empty()) return e;
    mv::Bstr error;
    calc->get_ErrorText(error.Out());
    if (hr == S_OK && error.view().empty() && !right()) return "a wrong value: " + mv::ToUtf8(got);
    if (calc->Calculate() != S_OK || !right()) return "the next run is wrong";
    return "";
}

}  // namespace

std::vector<Scenario> ScriptScenarios(const SweepContext& context) {
    std::vector<Scenario> rows;
    // Text inputs, each the value of another calculation, joined and
    // measured by a script: a text copy that fails is no empty text.
    const std::filesystem::path calcs = context.dir / "Calc";
    std::filesystem::create_directories(calcs);
    for (const char16_t* text : {u"alpha", u"beta", u"gamma"}) {
        auto bound = As<IMvCalculation>(New(u"Morva.Calc.Calculation").get());
        bound->put_FormulaType(mvcVBS_Script_Method);
        bound->put_ScriptText(mv::Bstr(u"ReturnValue = \"" + std::u16string(text) + u"\"").get());
        const auto file = calcs / (mv::ToUtf8(text) + ".mvc");
        As<IMvPersistFile>(bound.get())->SaveToFile(mv::Bstr(mv::ToUtf16(file.string())).get());
    }
    rows.push_back(
        {"Calculate kind 3 over texts of other calculations", []() -> std::string {
             auto calc = As<IMvCalculation>(New(u"Morva.Calc.Calculation").get());
             calc->put_FormulaType(mvcVBS_Script_Method);
             calc->put_ScriptText(
                 mv::Bstr(u"ReturnValue = A & \"-\" & B & \"-\" & C & \":\" & Len(C)").get());
             for (auto [name, bound] :
                  {std::pair{u"A", u"alpha"}, {u"B", u"beta"}, {u"C", u"gamma"}})
                 Input(calc.get(), name, mvcCalculation)
                     ->put_CalculationName(mv::Bstr(bound).get());
             return RunGives(calc.get(), u"alpha-beta-gamma:5", false);
         }});
    // A Corvex formula whose parse and run find memory short from some
    // point on.
    rows.push_back(
        {"Calculate kind 4, memory staying short", []() -> std::string {
             CorvexSim_SetLibrary(CORVEXSIM_FULL);
             auto calc = As<IMvCalculation>(New(u"Morva.Calc.Calculation").get());
             calc->put_FormulaType(mvcSimpleScript_Method);
             calc->put_ScriptText(
                 mv::Bstr(u"ReturnValue = (A + 1) * (B - 2) + A * B / 4 - (A - B)").get());
             calc->put_SandBoxMode(1);
             for (auto [name, value] : {std::pair{u"A", 3.0}, {u"B", 8.0}})
                 Input(calc.get(), name, mvcConstant)->put_Value(mv::Variant(value));
             std::string broken = RunGives(calc.get(), u"35", true);
             CorvexSim_SetLibrary(CORVEXSIM_ABSENT);
             return broken;
         }});
    return rows;
}

}  // namespace oomtest
