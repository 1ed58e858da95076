// Calculations with process-data bindings against the process-data
// stand-in: a formula that stamps the outputs, and parameters bound to a
// data source, tag and attribute through the map "MAP".
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "../calculation/calculation_test_support.h"
#include "frame/tls_slots.h"
#include "process_data_sim.h"

namespace pdtest {

// What the formula gives an output parameter.
struct OutputValue {
    mv::Variant value;
    SHORT level = 0;
    SHORT status = 0;
    DATE time = 0.0;
};

// The formula of kind 1: each output named in the calculation's map takes
// its value, level, status and time.
inline std::mutex g_outputsLock;
inline std::map<const CMvCalculation*, std::map<std::string, OutputValue>> g_outputs;

inline void SetOutputs(CMvCalculation& calc, const ParamInfoTable& table) {
    std::map<std::string, OutputValue> outputs;
    {
        std::lock_guard lock(g_outputsLock);
        outputs = g_outputs[&calc];
    }
    for (const ParamInfo& record : table.Records) {
        auto it = outputs.find(record.Name);
        if (it == outputs.end()) continue;
        OutputValue& out = it->second;
        record.Parameter->SetParameterValues(&out.value, &out.level, &out.status, &out.time);
    }
}

inline void SetOutput(CMvCalculation* calc, const std::string& name, OutputValue value) {
    std::lock_guard lock(g_outputsLock);
    g_outputs[calc][name] = std::move(value);
}

inline mv::ComPtr<IMvParameter> Bound(IMvCalculation* calc, const char* name, LONG direction,
                                      const char* dataSource, const char* tag,
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

// A calculation created through the class table, running the formula above.
inline mv::ComPtr<IMvCalculation> NewRunningCalculation() {
    mv::ComPtr<IMvCalculation> calc;
    EXPECT_EQ(CoCreateInstance(CLSID_MvCalculation, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IMvCalculation, calc.PutVoid()),
              S_OK);
    if (calc) calc->put_FormulaType(1);
    return calc;
}

inline CMvCalculation* Object(IMvCalculation* calc) {
    return static_cast<CMvCalculation*>(calc);
}

// The stand-in registered with three data sources, the formula installed.
class ProcessDataRun : public ::testing::Test {
protected:
    void SetUp() override {
        AllocateTlsSlots();
        procdata::Reset();
        ASSERT_EQ(procdata::Register(), S_OK);
        for (const char* ds : {"DS1", "DS2", "DS3"}) procdata::AddDataSource(ds);
        MvSetFormulaExecutor(1, &SetOutputs);
    }
    void TearDown() override {
        MvSetFormulaExecutor(1, nullptr);
        {
            std::lock_guard lock(g_outputsLock);
            g_outputs.clear();
        }
        procdata::Revoke();
        procdata::Reset();
        EXPECT_EQ(procdata::LiveInstances(), 0);
        FreeTlsSlots();
    }
    calculation_test::ServedClasses served_;
};

}  // namespace pdtest
