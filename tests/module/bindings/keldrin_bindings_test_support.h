// The world of the historian and calculation binding tests: the module
// started as a client's process starts it, the older client library present,
// three historian nodes (two remote, one local) and calculations whose
// formula is a recording step.
#pragma once

#include <atomic>
#include <string>

#include "../environment/environment_test_support.h"
#include "../parameters/parameter_test_support.h"
#include "bindings/keldrin_values.h"
#include "calculation/calculation.h"
#include "environment/calc_cache.h"
#include "frame/keldrin_client.h"
#include "frame/loaded_dlls.h"
#include "frame/time_conversions.h"
#include "sources/keldrin_servers.h"

namespace keldtest {

using bindtest::B;

// What the formula of every test calculation does: counts its runs and
// gives each output parameter named O<n> the value n * 10 + 5.
inline std::atomic<int> g_formulaRuns{0};
inline void Formula(CMvCalculation&, const ParamInfoTable& table) {
    ++g_formulaRuns;
    for (const ParamInfo& r : table.Records)
        if (r.Name.size() == 2 && r.Name[0] == 'O') {
            r.Parameter->put_Value(mv::Variant(DOUBLE((r.Name[1] - '0') * 10 + 5)));
        }
}

// A value to seed into the stand-in.
inline KhSimValue Seeded(double number, SHORT level = 0, SHORT status = 0, ULONG seconds = 0) {
    KhSimValue v{};
    v.Number = number;
    v.Level = level;
    v.Status = status;
    v.Stamp = seconds ? KeldrinTime{seconds, 0} : KeldrinTime{KELDRIN_TIME_NONE_WORD, 0};
    return v;
}

class KeldrinWorld : public envtest::EnvironmentTest {
protected:
    void SetUp() override {
        EnvironmentTest::SetUp();
        ResetKeldcoreLoader();
        CalcUnloadLibrary();
        KhSim_SetOlderLibraryPresent(1);
        g_formulaRuns = 0;
        MvSetFormulaExecutor(1, &Formula);
        // Kind 2 always fails.
        MvSetFormulaExecutor(
            2, [](CMvCalculation& c, const ParamInfoTable&) { c.SetError("the formula failed"); });
    }
    void TearDown() override {
        MvSetFormulaExecutor(1, nullptr);
        MvSetFormulaExecutor(2, nullptr);
        ReleaseTlsExecutionBuffer();
        ResetKeldcoreLoader();
        CalcUnloadLibrary();
        KhSim_Reset();
        KhSim_SetOlderLibraryPresent(0);
        EnvironmentTest::TearDown();
    }

    // A record on a node with one field; returns the record identifier.
    static LONG Field(const char* node, const char* record, const char* field, LONG tag, SHORT type,
                      const KhSimValue* value = nullptr) {
        LONG id = KhSim_AddRecord(node, record, 0);
        EXPECT_GT(id, 0);
        EXPECT_EQ(KhSim_AddField(node, id, field, tag, type, 0), 1);
        if (value) {
            EXPECT_EQ(KhSim_SetValue(node, id, tag, value), 1);
        }
        return id;
    }
    static double Stored(const char* node, LONG record, LONG tag) {
        KhSimValue v{};
        char text[64] = {};
        EXPECT_EQ(KhSim_GetValue(node, record, tag, &v, text, sizeof text), 1);
        return v.Number;
    }

    // A calculation of the recording formula.
    mv::ComPtr<IMvCalculation> Calc(const char* name = "CALC") {
        auto calc = NewCalculation(name);
        calc->put_FormulaType(1);
        return calc;
    }
    static mv::ComPtr<IMvParameter> Param(IMvCalculation* calc, const char* name, LONG direction,
                                          LONG binding) {
        mv::ComPtr<IMvParameter> p;
        EXPECT_EQ(calc->AddParameter(B(name).get(), p.Put()), S_OK);
        p->put_ParameterType(direction);
        p->put_BindingType(binding);
        return p;
    }
    static mv::ComPtr<IMvParameter> Historian(IMvCalculation* calc, const char* name,
                                              LONG direction, const char* node, const char* record,
                                              const char* field, double multiplier = 0.0,
                                              double offset = 0.0) {
        auto p = Param(calc, name, direction, mvcKeldrin);
        p->put_NodeName(B(node).get());
        p->put_RecordName(B(record).get());
        p->put_FieldName(B(field).get());
        p->put_UnitConversionMultiplier(multiplier);
        p->put_UnitConversionOffset(offset);
        return p;
    }
    static std::string Error(IMvCalculation* calc) {
        mv::Bstr text;
        calc->get_ErrorText(text.Out());
        return text.Utf8();
    }
    static mv::Variant ValueOf(IMvParameter* p) {
        mv::Variant v;
        p->get_Value(&v);
        return v;
    }
};

}  // namespace keldtest
