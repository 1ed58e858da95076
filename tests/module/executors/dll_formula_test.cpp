// The DLL formula with the test formula library: returned values, parameters
// written through the interface, the text of each kind of throw, a function
// that is not there, the function kept once found, and the library's
// shutdown at unload.
#include "../frame/loaded_dlls_test_support.h"
#include "formula_test_support.h"
#include "frame/tls_slots.h"

namespace calculation_test {
namespace {

using formula_test::ExpectValue;
using formula_test::ValueOf;

class DllFormula : public dlltest::LoadedDllsFixture {
protected:
    void SetUp() override {
        LoadedDllsFixture::SetUp();
        AllocateTlsSlots();
    }
    void TearDown() override {
        FreeTlsSlots();
        LoadedDllsFixture::TearDown();
    }

    // A kind-6 calculation with an input A of 21 and an output B bound to
    // the bus.
    Calculation Make(const char* function, const char* library = formula_test::kTestFormulas) {
        auto calc = NewCalculation();
        calc->put_FormulaType(mvcDLL_Execute_Method);
        calc->put_DllName(mv::Bstr(library).get());
        calc->put_FunctionName(mv::Bstr(function).get());
        mv::ComPtr<IMvParameter> a, b;
        calc->AddParameter(mv::Bstr(u"A").get(), a.Put());
        a->put_ParameterType(mvcInput);
        a->put_Value(mv::Variant(LONG{21}));
        calc->AddParameter(mv::Bstr(u"B").get(), b.Put());
        b->put_ParameterType(mvcOutput);
        b->put_BindingType(mvcQuenbus);
        return calc;
    }

    logtest::ScopedEnv path_{"MORVA_DLL_PATH", formula_test::FormulasDir().c_str()};
    ServedClasses served_;
    formula_test::OutputPassRecorder outputs_;
};

TEST_F(DllFormula, TheFunctionsResultBecomesTheValueAndItsParameterWritesStay) {
    struct Case {
        const char* function;
        mv::Variant value;
        mv::Variant b;
    } cases[] = {
        {"ReturnFortyTwo", mv::Variant(LONG{42}), mv::Variant()},
        {"ReturnText", mv::Variant(u"forty-two"), mv::Variant()},
        {"DoubleAIntoB", mv::Variant(), mv::Variant(42.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        outputs_.Names().clear();
        auto calc = Make(c.function);
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
        ExpectValue(Get(calc.get(), u"Value"), c.value);
        ExpectValue(ValueOf(calc.get(), u"ReturnValue"), c.value);
        ExpectValue(ValueOf(calc.get(), u"B"), c.b);
        EXPECT_EQ(outputs_.Names(), std::vector<std::string>{"B"});
    }
}

TEST_F(DllFormula, EachKindOfThrowGivesItsTextEmptiesTheResultAndWritesNoOutput) {
    const struct {
        const char* function;
        std::string error;
    } cases[] = {
        {"ThrowLong", "An exception 0xFF has occurred in the DLL"},
        {"ThrowDword", "An exception 0xFF has occurred in the DLL"},
        {"ThrowInt", "An Error Code 255 has occurred in the DLL"},
        {"ThrowCException", "Blend ratio out of range: " + std::string(229, '#')},
        {"ThrowLogicError", "A logic error occurred: ratio below zero"},
        {"ThrowRuntimeError", "A runtime error occurred: tank empty."},
        {"ThrowText", "Feed pump offline"},
        {"ThrowOther", "An unknown exception has occurred in the DLL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        outputs_.Names().clear();
        auto calc = Make(c.function);
        calc->put_Value(mv::Variant(LONG{1}));
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), c.error);
        EXPECT_EQ(ValueOf(calc.get(), u"ReturnValue").vt, VT_EMPTY);
        EXPECT_EQ(Get(calc.get(), u"Value").vt, VT_EMPTY);
        EXPECT_TRUE(outputs_.Names().empty());
    }
}

TEST_F(DllFormula, AFunctionThatIsNotThereFailsEveryRun) {
    const struct {
        const char* what;
        const char* library;
        const char* function;
        size_t loaded;
    } cases[] = {
        {"no library name", "", "ReturnFortyTwo", 0},
        {"a library that does not load", "NoSuchFormulas.dll", "ReturnFortyTwo", 0},
        {"a function it does not export", formula_test::kTestFormulas, "returnfortytwo", 1},
        {"no function name", formula_test::kTestFormulas, "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto calc = Make(c.function, c.library);
        for (int run = 0; run < 2; ++run) {
            calc->put_Value(mv::Variant(LONG{1}));
            EXPECT_EQ(calc->Calculate(), S_OK);
            EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
                      "Dll Function Not Found.");
            EXPECT_EQ(Get(calc.get(), u"Value").vt, VT_EMPTY);
        }
        EXPECT_EQ(dlltest::MapSize(), c.loaded);
        CalcUnloadLibrary();
    }
}

// The function is found once per object: a later FunctionName or DllName
// changes nothing on that object, and a new object follows the new name.
TEST_F(DllFormula, TheFunctionFoundStaysWithTheObject) {
    auto calc = Make("ReturnFortyTwo");
    EXPECT_EQ(calc->Calculate(), S_OK);
    calc->put_FunctionName(mv::Bstr(u"ThrowInt").get());
    calc->put_DllName(mv::Bstr(u"NoSuchFormulas.dll").get());
    calc->ClearCache();
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
    ExpectValue(Get(calc.get(), u"Value"), mv::Variant(LONG{42}));

    auto fresh = Make("ThrowInt");
    EXPECT_EQ(fresh->Calculate(), S_OK);
    EXPECT_EQ(TextOf(fresh.get(), &IMvCalculation::get_ErrorText),
              "An Error Code 255 has occurred in the DLL");
}

// Two letter cases of one name are two entries of one library, which gets
// one shutdown call at unload.
TEST_F(DllFormula, OneLibraryUnderTwoNamesIsShutDownOnce) {
    auto lower = Make("ReturnFortyTwo", "mvtestformulas.dll");
    auto upper = Make("ReturnText", "MVTESTFORMULAS.DLL");
    EXPECT_EQ(lower->Calculate(), S_OK);
    EXPECT_EQ(upper->Calculate(), S_OK);
    ExpectValue(Get(lower.get(), u"Value"), mv::Variant(LONG{42}));
    ExpectValue(Get(upper.get(), u"Value"), mv::Variant(u"forty-two"));
    ASSERT_EQ(dlltest::MapSize(), 2u);
    static int shutdowns;
    shutdowns = 0;
    HMODULE library = CalcLoadLibrary("mvtestformulas.dll");
    dlltest::CountShutdowns(library, &shutdowns);

    CalcUnloadLibrary();
    EXPECT_EQ(shutdowns, 1);
    EXPECT_EQ(dlltest::MapSize(), 0u);
    EXPECT_FALSE(dlltest::IsLoaded(formula_test::FormulasDir() + "/libMvTestFormulas.so"));
}

}  // namespace
}  // namespace calculation_test
