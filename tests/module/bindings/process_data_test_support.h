// Calculations created through the class table whose parameters are bound
// to process data (map "MAP"), and a formula that gives each output the
// value set for it; the process-data stand-in holds DS1, DS2 and DS3.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <map>
#include <string>

#include "../calculation/calculation_test_support.h"
#include "frame/tls_slots.h"
#include "process_data_sim.h"

namespace pdtest {

struct Quality {
    mv::Variant value;
    SHORT level = 0, status = 0;
    DATE time = 0.0;
};
// Outputs by calculation and name; set before the runs start.
inline std::map<const CMvCalculation*, std::map<std::string, Quality>> g_outputs;

inline void SetOutputs(CMvCalculation& calc, const ParamInfoTable& table) {
    auto outputs = g_outputs.find(&calc);
    for (const ParamInfo& r : table.Records) {
        if (outputs == g_outputs.end() || !outputs->second.count(r.Name)) continue;
        Quality q = outputs->second.at(r.Name);
        r.Parameter->SetParameterValues(&q.value, &q.level, &q.status, &q.time);
    }
}

inline mv::ComPtr<IMvParameter> Bound(IMvCalculation* calc, const char* name, LONG direction,
                                      const char* tag, const char* dataSource = "DS1",
                                      const char* attribute = "VALUE", double multiplier = 0.0,
                                      double offset = 0.0) {
    mv::ComPtr<IMvParameter> p;
    EXPECT_EQ(calc->AddParameter(mv::Bstr(std::string_view(name)).get(), p.Put()), S_OK);
    p->put_ParameterType(direction);
    p->put_BindingType(mvcProcessData);
    p->put_NodeName(mv::Bstr(std::string_view(dataSource)).get());
    p->put_RecordName(mv::Bstr(std::string_view(tag)).get());
    p->put_FieldName(mv::Bstr(u"MAP").get());
    p->put_HistoryFieldName(mv::Bstr(std::string_view(attribute)).get());
    p->put_UnitConversionMultiplier(multiplier);
    p->put_UnitConversionOffset(offset);
    return p;
}

inline mv::ComPtr<IMvCalculation> NewRunningCalculation() {
    mv::ComPtr<IMvCalculation> calc;
    CoCreateInstance(CLSID_MvCalculation, nullptr, CLSCTX_INPROC_SERVER, IID_IMvCalculation,
                     calc.PutVoid());
    calc->put_FormulaType(1);
    return calc;
}

inline void SetOutput(IMvCalculation* calc, const std::string& name, Quality q) {
    g_outputs[static_cast<CMvCalculation*>(calc)][name] = std::move(q);
}

class ProcessDataRun : public ::testing::Test {
protected:
    void SetUp() override {
        // Named, so that the runs' local times only read the zone.
        setenv("TZ", "UTC", 1);
        tzset();
        AllocateTlsSlots();
        procdata::Reset();
        ASSERT_EQ(procdata::Register(), S_OK);
        for (const char* ds : {"DS1", "DS2", "DS3"}) procdata::AddDataSource(ds);
        MvSetFormulaExecutor(1, &SetOutputs);
    }
    void TearDown() override {
        MvSetFormulaExecutor(1, nullptr);
        g_outputs.clear();
        procdata::Revoke();
        procdata::Reset();
        EXPECT_EQ(procdata::LiveInstances(), 0);
        FreeTlsSlots();
    }
    calculation_test::ServedClasses served_;
};

}  // namespace pdtest
