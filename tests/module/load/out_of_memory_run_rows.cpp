// The out-of-memory sweep's rows for runs that fail.
#include <tuple>

#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvParameter.h"
#include "keldrin_sim.h"
#include "out_of_memory_sweep.h"

namespace oomtest {

// A run that fails, with memory running out anywhere in it: a VBScript
// formula that fails after setting its output, and a run whose historian
// read fails. No output is ever written, and each run answers a failure code
// or leaves a text: a failure whose text is lost must not pass for success.
std::vector<Scenario> RunFailureScenarios(const SweepContext&) {
    static constexpr const char* kNode = "OOMNODE";
    KhSim_AddServer(kNode, 11, 3, 0);
    const LONG record = KhSim_AddRecord(kNode, "OOMREC", 0);
    KhSim_AddField(kNode, record, "IN", 0x10000, -16, 0);
    KhSim_AddField(kNode, record, "OUT", 0x20000, -16, 0);
    KhSimValue value{};
    value.Number = 4.0;
    value.Stamp = {KELDRIN_TIME_NONE_WORD, 0};
    KhSim_SetValue(kNode, record, 0x10000, &value);
    auto failing = [](const char16_t* script, bool readFails) {
        return [=]() -> std::string {
            auto calc = As<IMvCalculation>(New(u"Morva.Calc.Calculation").get());
            calc->put_FormulaType(mvcVBS_Script_Method);
            calc->put_ScriptText(mv::Bstr(script).get());
            mv::ComPtr<IMvParameter> parameter;
            for (auto [name, direction, field] :
                 {std::tuple{u"A", mvcInput, u"IN"}, std::tuple{u"Out", mvcOutput, u"OUT"}}) {
                calc->AddParameter(mv::Bstr(name).get(), parameter.Put());
                parameter->put_ParameterType(direction);
                parameter->put_BindingType(mvcKeldrin);
                parameter->put_NodeName(mv::Bstr(u"OOMNODE").get());
                parameter->put_RecordName(mv::Bstr(u"OOMREC").get());
                parameter->put_FieldName(mv::Bstr(field).get());
            }
            const LONG writes = KhSim_CallCount(KHSIM_API, "MWDBVALS");
            if (readFails) KhSim_FailCall(KHSIM_API, "MRDBVALS", KELDRIN_E_NORECORD, 0, 0, 1);
            const HRESULT hr = InWindow([&] { return calc->Calculate(); });
            KhSim_FailCall(KHSIM_API, "MRDBVALS", 0, 0, 0, 0);
            if (g_escaped) return "an exception left the entry point";
            if (KhSim_CallCount(KHSIM_API, "MWDBVALS") != writes) return "an output was written";
            mv::Bstr error;
            calc->get_ErrorText(error.Out());
            if (SUCCEEDED(hr) && error.view().empty()) return "the failure passed for a success";
            return "";
        };
    };
    return {{"Calculate of a failing script", failing(u"Out = A * 2\nZ = 1 / 0", false)},
            {"Calculate whose read fails", failing(u"Out = A * 2", true)}};
}

}  // namespace oomtest
