// The out-of-memory sweep's rows for binding handlers and the calls that hand values on.
#include <memory>

#include "bus_adapter_sim.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvFormulaRef.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"
#include "out_of_memory_sweep.h"

namespace oomtest {

namespace {

// A calculation of the test formula library's function.
mv::ComPtr<IMvCalculation> DllCalc(const char16_t* name, const char16_t* function) {
    auto calc = As<IMvCalculation>(New(u"Morva.Calc.Calculation").get());
    calc->put_Name(mv::Bstr(name).get());
    calc->put_FormulaType(mvcDLL_Execute_Method);
    calc->put_DllName(mv::Bstr(u"MvTestFormulas.dll").get());
    calc->put_FunctionName(mv::Bstr(function).get());
    return calc;
}

mv::ComPtr<IMvParameter> Added(IMvCalculation* calc, const char16_t* name, LONG type,
                               LONG binding = mvcConstant) {
    mv::ComPtr<IMvParameter> parameter;
    calc->AddParameter(mv::Bstr(name).get(), parameter.Put());
    parameter->put_ParameterType(type);
    parameter->put_BindingType(binding);
    return parameter;
}

bool IsText(const VARIANT& value, std::u16string_view text) {
    return value.vt == VT_BSTR && value.bstrVal && std::u16string_view(value.bstrVal) == text;
}

std::u16string ValueText(IMvParameter* parameter) {
    mv::Variant value;
    parameter->get_Value(&value);
    return value.vt == VT_BSTR && value.bstrVal ? value.bstrVal : u"?";
}

// A run with the k-th allocation failing: no exception out, a failure (its
// code or an error text) only where an allocation failed, and a run that
// did not fail `right`.
std::string CheckedRun(IMvCalculation* calc, const std::function<bool()>& right) {
    const HRESULT hr = InWindow([&] { return calc->Calculate(); });
    mv::Bstr error;
    calc->get_ErrorText(error.Out());
    if (auto e = Answered(error.Length() != 0 ? E_FAIL : hr); !e.empty())
        return e + " " + error.Utf8();
    if (SUCCEEDED(hr) && error.Length() == 0 && !right()) return "a wrong value";
    return "";
}

constexpr int64_t kFixedNow = 1710498030750000;  // 2024-03-15 10:20:30.750 UTC

}  // namespace

std::vector<Scenario> BindingScenarios(const SweepContext& context) {
    std::vector<Scenario> rows;
    // The names of the unused parameters: a name lost for lack of memory
    // would stand in the list as an empty one.
    rows.push_back({"Morva.Calc.Calculation unused parameters", []() -> std::string {
                        auto calc = As<IMvCalculation3>(New(u"Morva.Calc.Calculation").get());
                        for (const char16_t* name : {u"A", u"B"})
                            Added(As<IMvCalculation>(calc.get()).get(), name, mvcUnUsed);
                        mv::Variant list;
                        const HRESULT hr =
                            InWindow([&] { return calc->ListUnusedParameters(&list); });
                        if (auto e = Answered(hr); !e.empty()) return e;
                        if (hr != S_OK) return "";
                        std::u16string names;
                        for (LONG i = 0; list.vt == (VT_ARRAY | VT_VARIANT) && i < 2; ++i) {
                            mv::Variant name;
                            SafeArrayGetElement(list.parray, &i, &name);
                            names += name.vt == VT_BSTR && name.bstrVal ? name.bstrVal : u"?";
                        }
                        return names == u"AB" ? "" : "a name lost";
                    }});

    // An input bound to another calculation, which gives text: a value lost
    // for lack of memory would reach the formula as Empty, or as the old one,
    // under the bound calculation's good level.
    {
        auto source = DllCalc(u"Source", u"ReturnText");
        const mv::Bstr file(mv::ToUtf16((context.dir / "Calc" / "Source.mvc").string()));
        As<IMvPersistFile>(source.get())->SaveToFile(file.get());
    }
    rows.push_back({"Calculate with an input bound to another calculation", []() -> std::string {
                        auto calc = DllCalc(u"Reader", u"ReturnFortyTwo");
                        auto bound = Added(calc.get(), u"C1", mvcInput, mvcCalculation);
                        bound->put_CalculationName(mv::Bstr(u"Source").get());
                        bound->put_Value(mv::Variant(u"old"));
                        bound->put_Level(2);
                        return CheckedRun(calc.get(), [&] {
                            SHORT level = -1;
                            bound->get_Level(&level);
                            // The bound calculation has no inputs: no level.
                            return ValueText(bound.get()) == u"forty-two" && level == -1;
                        });
                    }});

    // A formula called through a reference, with a text in and a text out
    // by reference: the output argument holds the formula's value.
    rows.push_back({"Morva.Calc.FormulaRef call", []() -> std::string {
                        auto formula = DllCalc(u"Suffix", u"SuffixAIntoB");
                        // An input left as it was would be suffixed in its place.
                        Added(formula.get(), u"A", mvcInput)->put_Value(mv::Variant(u"stale"));
                        Added(formula.get(), u"B", mvcOutput);
                        auto reference = New(u"Morva.Calc.FormulaRef");
                        As<IMvFormulaRef>(reference.get())->put_Formula(formula.get());
                        mv::Variant output(u"old"), result;
                        VARIANT arguments[2]{};
                        arguments[0].vt = VT_BYREF | VT_VARIANT;
                        arguments[0].pvarVal = &output;
                        mv::Variant input(u"alpha");
                        arguments[1] = input;
                        DISPPARAMS params{arguments, nullptr, 2, 0};
                        EXCEPINFO info{};
                        auto call = As<IDispatch>(reference.get());
                        const HRESULT hr = InWindow([&] {
                            return call->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &params, &result,
                                                &info, nullptr);
                        });
                        SysFreeString(info.bstrSource);
                        SysFreeString(info.bstrDescription);
                        if (auto e = Answered(hr); !e.empty()) return e;
                        if (hr != S_OK) return "";
                        mv::Variant number;
                        if (!IsText(output, u"alpha-x")) return "a wrong output";
                        if (FAILED(VariantChangeType(&number, &result, 0, VT_I4)) ||
                            number.lVal != 7)
                            return "a wrong result";
                        return "";
                    }});

    // A bus-bound output of text: every document that goes out is whole (an
    // empty value or part would pass for the output's).
    busadapter::Register();
    // After the sweep: an environment's last release lets the adapter and
    // the bound calculation go.
    std::shared_ptr<void> adapter(nullptr, [](void*) {
        New(u"Morva.Calc.Environment");
        busadapter::Revoke();
    });
    auto publish = [adapter](const std::function<bool()>& right) -> std::string {
        auto calc = DllCalc(u"Unit1", u"ReturnFortyTwo");
        auto flow = Added(calc.get(), u"Flow", mvcInputOutput, mvcQuenbus);
        flow->put_RecordName(mv::Bstr(u"FLOW.PV").get());
        flow->put_Value(mv::Variant(u"open"));
        busadapter::Reset();
        mv::SetClockForTesting([] { return kFixedNow; });
        const std::string broken = CheckedRun(calc.get(), right);
        mv::SetClockForTesting(nullptr);
        return broken;
    };
    std::u16string expected;
    if (publish([] { return true; }).empty() && busadapter::Publications().size() == 1)
        expected = busadapter::Publications()[0].document;
    rows.push_back({"Calculate with a bus publication", [publish, expected]() -> std::string {
                        if (expected.find(u">open<") == std::u16string::npos) return "no document";
                        const std::string broken =
                            publish([] { return busadapter::Publications().size() == 1; });
                        if (!broken.empty()) return broken;
                        for (const auto& sent : busadapter::Publications())
                            if (sent.document != expected || sent.recordName != u"FLOW.PV")
                                return "a part lost: " + mv::ToUtf8(sent.document);
                        return "";
                    }});
    return rows;
}

}  // namespace oomtest
