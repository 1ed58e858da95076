// The out-of-memory sweep's rows for binding handlers and the calls that hand values on.
#include <memory>
#include <tuple>

#include "bus_adapter_sim.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvFormulaRef.h"
#include "interfaces/IMvParameter.h"
#include "interfaces/IMvPersistFile.h"
#include "keldrin_sim.h"
#include "out_of_memory_sweep.h"
#include "process_data_sim.h"

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

// A run with the k-th allocation failing (and, `staying`, every later one):
// no exception out, a failure (its code or an error text) only where an
// allocation failed, and a run that did not fail `right`.
std::string CheckedRun(IMvCalculation* calc, const std::function<bool()>& right,
                       bool staying = false) {
    const HRESULT hr = InWindow([&] { return calc->Calculate(); }, staying);
    mv::Bstr error;
    calc->get_ErrorText(error.Out());
    if (auto e = Answered(error.Length() != 0 ? E_FAIL : hr); !e.empty())
        return e + " " + error.Utf8();
    if (SUCCEEDED(hr) && error.Length() == 0 && !right()) return "a wrong value";
    return "";
}

// CheckedRun, then a run with memory back that succeeds and is `right`:
// what the failed run left in the calculation must not fail later runs.
std::string RunTwice(IMvCalculation* calc, const std::function<void()>& reset,
                     const std::function<bool()>& right) {
    if (auto e = CheckedRun(calc, right); !e.empty()) return e;
    reset();
    const HRESULT hr = calc->Calculate();
    mv::Bstr error;
    calc->get_ErrorText(error.Out());
    if (hr != S_OK || error.Length() != 0) return "the next run failed: " + error.Utf8();
    return right() ? "" : "the next run wrote no value";
}

// A calculation of B = 2 x A whose parameters are bound by `binding` to
// `node`, A to `in` and B to `out`, each in field (or map) `field` and, for
// process data, attribute VALUE.
mv::ComPtr<IMvCalculation> BoundDouble(LONG binding, const char16_t* node, const char16_t* in,
                                       const char16_t* out, const char16_t* field) {
    auto calc = DllCalc(u"Double", u"DoubleAIntoB");
    for (auto [name, direction, record] :
         {std::tuple{u"A", mvcInput, in}, std::tuple{u"B", mvcOutput, out}}) {
        auto parameter = Added(calc.get(), name, direction, binding);
        parameter->put_NodeName(mv::Bstr(node).get());
        parameter->put_RecordName(mv::Bstr(record).get());
        parameter->put_FieldName(mv::Bstr(field).get());
        parameter->put_HistoryFieldName(mv::Bstr(u"VALUE").get());
    }
    return calc;
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
    // The calculation an input is bound to, with memory short from the k-th
    // request on: a value lost for lack of memory must not pass for its
    // value, as Empty under a good status, with no text to tell of it.
    rows.push_back(
        {"Calculate whose ReturnValue copy fails, memory staying short", []() -> std::string {
             auto calc = DllCalc(u"Source", u"ReturnText");
             return CheckedRun(
                 calc.get(),
                 [&] {
                     mv::Variant value;
                     calc->get_Value(&value);
                     return IsText(value, u"forty-two");
                 },
                 true);
         }});

    // Historian and process-data bindings, A = 4 in and B = 8 out: a name
    // lost for lack of memory must not stay in the calculation's definitions
    // and fail its later runs.
    KhSim_AddServer("OOMBIND", 11, 3, 0);
    const LONG in = KhSim_AddRecord("OOMBIND", "OOMIN", 0);
    const LONG out = KhSim_AddRecord("OOMBIND", "OOMOUT", 0);
    for (LONG record : {in, out}) KhSim_AddField("OOMBIND", record, "VAL", 0x10000, -16, 0);
    auto put = [](LONG record, double number) {
        KhSimValue value{};
        value.Number = number;
        value.Stamp = {KELDRIN_TIME_NONE_WORD, 0};
        KhSim_SetValue("OOMBIND", record, 0x10000, &value);
    };
    put(in, 4.0);
    rows.push_back(
        {"Calculate with historian bindings, then with memory back", [out, put]() -> std::string {
             auto calc = BoundDouble(mvcKeldrin, u"OOMBIND", u"OOMIN", u"OOMOUT", u"VAL");
             put(out, 0.0);
             return RunTwice(
                 calc.get(), [&] { put(out, 0.0); },
                 [&] {
                     KhSimValue value{};
                     KhSim_GetValue("OOMBIND", out, 0x10000, &value, nullptr, 0);
                     return value.Number == 8.0;
                 });
         }});

    procdata::Reset();
    procdata::Register();
    std::shared_ptr<void> plant(nullptr, [](void*) {
        procdata::Revoke();
        procdata::Reset();
    });
    procdata::AddDataSource("DS1");
    procdata::SetSample("DS1", "OOMIN", "VALUE", {45000.0, mv::Variant(4.0), true});
    procdata::AddPlantTag("DS1", "OOMOUT");
    rows.push_back(
        {"Calculate with process-data bindings, then with memory back", [plant]() -> std::string {
             auto calc = BoundDouble(mvcProcessData, u"DS1", u"OOMIN", u"OOMOUT", u"MAP");
             size_t before = procdata::Writes().size();
             return RunTwice(
                 calc.get(), [&] { before = procdata::Writes().size(); },
                 [&] {
                     const auto writes = procdata::Writes();
                     return writes.size() == before + 1 && writes.back().tag == "OOMOUT" &&
                            writes.back().value.vt == VT_R8 && writes.back().value.dblVal == 8.0;
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
