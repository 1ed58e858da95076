// The world of the message-bus tests: the module started as a client's
// process starts it, the receiver class served, the bus adapter stand-in
// registered, the UTC clock fixed at 2024-03-15 10:20:30.750, and
// calculations whose DLL formula (kind 6) leaves their bus-bound outputs as
// the test set them.
#pragma once

#include <string>

#include "../environment/environment_test_support.h"
#include "../executors/formula_artefacts.h"
#include "../frame/log_test_support.h"
#include "bus_adapter_sim.h"
#include "frame/app_globals.h"

namespace bustest {

using envtest::B;

constexpr int64_t kFixedNow = 1710498030750000;  // 2024-03-15 10:20:30.750 UTC

class QuenbusWorld : public envtest::EnvironmentTest {
protected:
    void SetUp() override {
        EnvironmentTest::SetUp();
        ServeReceiver();
        busadapter::Reset();
        ASSERT_EQ(busadapter::Register(), S_OK);
        mv::SetClockForTesting([] { return kFixedNow; });
    }
    void TearDown() override {
        mv::SetClockForTesting(nullptr);
        NewEnvironment().Reset();  // the final release lets the adapter go
        EnvironmentTest::TearDown();
        if (receiverCookie_) CoRevokeClassObject(receiverCookie_);
        busadapter::Revoke();
        EXPECT_EQ(busadapter::AdaptersAlive(), 0);
        EXPECT_EQ(busadapter::ReceiversHeld(), 0);
        busadapter::Reset();
    }

    void ServeReceiver() {
        mv::ComPtr<IUnknown> factory;
        ASSERT_EQ(DllGetClassObject(CLSID_MvCalcBPDReceiver, IID_IUnknown, factory.PutVoid()),
                  S_OK);
        ASSERT_EQ(CoRegisterClassObject(CLSID_MvCalcBPDReceiver, factory.get(),
                                        CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &receiverCookie_),
                  S_OK);
    }
    void RevokeReceiver() {
        CoRevokeClassObject(receiverCookie_);
        receiverCookie_ = 0;
    }

    // A calculation of the DLL formula, which sets only its ReturnValue.
    mv::ComPtr<IMvCalculation> BusCalc(const char* name) {
        auto calc = NewCalculation(name);
        calc->put_FormulaType(mvcDLL_Execute_Method);
        calc->put_DllName(B(formula_test::kTestFormulas).get());
        calc->put_FunctionName(B("ReturnFortyTwo").get());
        return calc;
    }
    // A bus-bound parameter; an input-output keeps the value and level
    // given here through the run.
    static mv::ComPtr<IMvParameter> Bus(IMvCalculation* calc, const char* name, const char* record,
                                        const VARIANT& value, SHORT level = 0,
                                        LONG direction = mvcInputOutput) {
        mv::ComPtr<IMvParameter> p;
        EXPECT_EQ(calc->AddParameter(B(name).get(), p.Put()), S_OK);
        if (!p) return p;
        p->put_ParameterType(direction);
        p->put_BindingType(mvcQuenbus);
        p->put_RecordName(B(record).get());
        p->put_Value(value);
        p->put_Level(level);
        return p;
    }
    static std::string Run(IMvCalculation* calc) {
        EXPECT_EQ(calc->Calculate(), S_OK);
        mv::Bstr text;
        calc->get_ErrorText(text.Out());
        return text.Utf8();
    }
    static std::string ComputerName() {
        char name[16] = {};
        DWORD size = sizeof name;
        return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
    }
    static std::string PropertiesFile(const std::string& base) {
        return base + "/Bin/MorvaCalcQuenbusProperties.xml";
    }

    logtest::ScopedEnv dllPath_{"MORVA_DLL_PATH", formula_test::FormulasDir().c_str()};
    DWORD receiverCookie_ = 0;
};

}  // namespace bustest
