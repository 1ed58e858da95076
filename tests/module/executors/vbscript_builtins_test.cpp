// Built-in functions in VBScript formulas, end to end: a calculation of
// kind 3 runs them and reports their failures in ErrorText.
#include "../persistence/values_test_support.h"
#include "frame/dll_exports.h"
#include "frame/registration.h"
#include "vbscript_test_support.h"

namespace vbscript_test {
namespace {

class VBScriptBuiltins : public testing::Test {
protected:
    void SetUp() override {
        AllocateTlsSlots();
        ASSERT_EQ(MvRegisterClasses("/opt/morva/libMvMorvaCalc.so"), S_OK);
        MvComModuleInit();
        mv::ComPtr<IUnknown> factory;
        ASSERT_EQ(DllGetClassObject(CLSID_MvParameter, IID_IClassFactory, factory.PutVoid()), S_OK);
        served_.emplace_back(CLSID_MvParameter, factory.get());
    }
    void TearDown() override { served_.clear(), FreeTlsSlots(); }

    std::vector<values_test::ServedClass> served_;
};

TEST_F(VBScriptBuiltins, FormulasCallTheLanguagesFunctions) {
    const struct {
        const char* script;
        std::string value, error;
    } cases[] = {
        {"d = DateAdd(\"m\", 1, DateSerial(2024, 1, 31))\n"
         "ReturnValue = Replace(CStr(Round(A / 7, 3)) & \"|\" & Mid(CStr(d), 1, 9), \"/\", \"-\")",
         "0.429|2-29-2024", ""},
        {"Set p = CreateObject(\"Morva.Calc.Parameter.1\") : p.Value = 5 : "
         "ReturnValue = p.Value * 2",
         "10", ""},
        {"Set p = CreateObject(\"Morva.Calc.Unregistered.1\")\nReturnValue = 1", "",
         "ActiveX component can't create object line 1"},
        // Named constants, left-out arguments, unary minus before ^, a Long
        // hexadecimal literal and the two-digit year window of DateSerial.
        {"ReturnValue = Len(vbNewLine) & \"|\" & FormatNumber(-50, , , -1) & \"|\" & "
         "(-A ^ 2) & \"|\" & (&hffff&) & \"|\" & DateSerial(24, 1, 1)",
         "2|(50.00)|9|65535|1/1/2024", ""},
        {"vbCr = 1\nReturnValue = 1", "", "Illegal assignment line 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        auto calc = ScriptCalculation(c.script);
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ValueOf(calc.get()), c.value);
        EXPECT_EQ(ErrorOf(calc.get()), c.error);
    }
}

}  // namespace
}  // namespace vbscript_test
