// Program and DLL formulas run by Calculate: the command text, and a program
// that does not start failing the run; the library function's result, its
// parameter writes and the text of each kind of throw; a function that is
// not there; the function kept once found until its names change.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "../calculation/calculation_test_support.h"
#include "../frame/loaded_dlls_test_support.h"
#include "executors/exe_formula.h"
#include "formula_artefacts.h"
#include "frame/tls_slots.h"
#include "persistence/obj_collection.h"

namespace calculation_test {
namespace {

std::vector<std::string> g_seen;  // command texts run, then the output pass

int Recording(std::string_view text) {
    g_seen.emplace_back(text);
    return 0;
}

void RecordOutput(const MvBindingCall& call) {
    if (call.Pass == OUTPUT_PASS && call.Record) g_seen.push_back("output " + call.Record->Name);
}

const std::vector<std::string> kOutputPass = {"output Out"};

struct Param {
    const char16_t* name;
    const char16_t* argument;
    mv::Variant value;
};

// A value as its type number and text: "3:42".
std::string Shown(const VARIANT& value) {
    std::string text;
    CMvCalculation::SaveVARIANT(value, text);
    return std::to_string(value.vt) + ":" + text;
}

std::string ValueOf(IMvCalculation* calc, const char16_t* name) {
    mv::ComPtr<IMvParameter> parameter;
    EXPECT_EQ(calc->GetParameter(mv::Bstr(name).get(), parameter.Put()), S_OK);
    mv::Variant value;
    parameter->get_Value(&value);
    return Shown(value);
}

class FormulaRun : public dlltest::LoadedDllsFixture {
protected:
    void SetUp() override {
        LoadedDllsFixture::SetUp();
        AllocateTlsSlots();
        g_seen.clear();
        MvSetBindingHandler(mvcQuenbus, &RecordOutput);
    }
    void TearDown() override {
        MvSetCommandRunner(nullptr);
        MvSetBindingHandler(mvcQuenbus, nullptr);
        FreeTlsSlots();
        LoadedDllsFixture::TearDown();
    }

    // A calculation of the kind with its texts, the parameters (inputs and
    // outputs, which a run does not empty) after "ReturnValue", and last an
    // output "Out" bound to the bus.
    Calculation Make(LONG kind, const std::vector<std::pair<const char16_t*, std::string>>& texts,
                     const std::vector<Param>& params) {
        auto calc = NewCalculation();
        calc->put_FormulaType(kind);
        for (const auto& [name, text] : texts)
            mv::DispPutPropertyByName(calc.get(), name, mv::Variant(mv::ToUtf16(text)));
        for (const Param& p : params) {
            mv::ComPtr<IMvParameter> parameter;
            EXPECT_EQ(calc->AddParameter(mv::Bstr(p.name).get(), parameter.Put()), S_OK);
            parameter->put_ParameterType(mvcInputOutput);
            parameter->put_EXE_RuntimeArgument(mv::Bstr(p.argument).get());
            parameter->put_Value(p.value);
        }
        mv::ComPtr<IMvParameter> out;
        calc->AddParameter(mv::Bstr(u"Out").get(), out.Put());
        out->put_ParameterType(mvcOutput);
        out->put_BindingType(mvcQuenbus);
        return calc;
    }
    Calculation Dll(const char* function, const char* library = formula_test::kTestFormulas) {
        return Make(mvcDLL_Execute_Method, {{u"DllName", library}, {u"FunctionName", function}},
                    {{u"A", u"", mv::Variant(LONG{21})}, {u"B", u"", mv::Variant()}});
    }

    logtest::ScopedEnv path_{"MORVA_DLL_PATH", formula_test::FormulasDir().c_str()};
    ServedClasses served_;
};

mv::Variant Typed(VARTYPE vt) {
    mv::Variant v;
    v.vt = vt;
    if (vt == (VT_ARRAY | VT_I4)) v.parray = SafeArrayCreateVector(VT_I4, 0, 2);
    if (vt == VT_DISPATCH) {  // an object whose default member needs an argument
        mv::ComPtr<mv::ComObject<CMvObjCollection>> collection;
        EXPECT_EQ(mv::MakeComObject(&collection), S_OK);
        v.pdispVal = static_cast<IMvObjCollection*>(collection.get());
        v.pdispVal->AddRef();
    }
    return v;
}

TEST_F(FormulaRun, TheCommandTextQuotesProgramAndArgumentsOnceAndLeavesTheValuesAlone) {
    const struct {
        const char* what;
        std::vector<Param> params;
        std::string tail;
    } cases[] = {
        {"the return value alone", {}, ""},
        {"switch and value side by side",
         {{u"A", u"-t", mv::Variant(5.5)}, {u"B", u"/mode:", mv::Variant(u"fast")}},
         " -t5.5 /mode:fast"},
        {"empty switch, empty value, both empty",
         {{u"A", u"", mv::Variant(LONG{7})},
          {u"B", u"-x", mv::Variant()},
          {u"C", u"", mv::Variant()}},
         " 7 -x "},
        {"values without text give the switch alone",
         {{u"A", u"-n", Typed(VT_NULL)},
          {u"B", u"-a", Typed(VT_ARRAY | VT_I4)},
          {u"C", u"-o", Typed(VT_DISPATCH)}},
         " -n -a -o"},
        {"numbers, booleans and dates as the variant conversion writes them",
         {{u"A", u"-b", mv::Variant(true)},
          {u"B", u"-f", mv::Variant(-0.125)},
          {u"C", u"-d", mv::Variant::Date(45358.5)}},
         " -b-1 -f-0.125 -d3/7/2024 12:00:00 PM"},
        {"texts go in unquoted and unescaped",
         {{u"A", u"", mv::Variant(u"5; touch x")},
          {u"B", u"-q", mv::Variant(uR"("a b" c\ $(id) | `x`)")}},
         R"( 5; touch x -q"a b" c\ $(id) | `x`)"},
    };
    MvSetCommandRunner(&Recording);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_seen.clear();
        auto calc = Make(mvcEXE_Execute_Method, {{u"ProgramName", "/opt/blend/argdump"}}, c.params);
        // A second run gives the same text: the first changed no value.
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(calc->Calculate(), S_OK);
        const std::string text = "\"/opt/blend/argdump" + c.tail + " \"";  // "Out" adds " "
        EXPECT_EQ(g_seen, (std::vector<std::string>{text, "output Out", text, "output Out"}));
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
    }
}

// Exit codes are not read; a program that does not start, or a runner that
// throws, fails the run, so the output pass is skipped.
TEST_F(FormulaRun, AProgramThatDoesNotStartSkipsTheOutputPass) {
    const std::string dir = std::getenv("MORVA_COMMON_APPDATA");
    std::filesystem::create_directories(dir);
    const std::string plainFile = dir + "/notes.txt";
    std::ofstream(plainFile) << "not a program\n";
    // A program that starts and exits with the code of a failed start.
    const std::string exits127 = dir + "/exits127";
    std::ofstream(exits127) << "#!/bin/sh\nexit 127\n";
    ASSERT_EQ(chmod(exits127.c_str(), 0755), 0) << exits127;
    const struct {
        std::string program;
        MvCommandRunner runner;
        std::string error;
    } cases[] = {
        {"", &Recording, ""},  // nothing runs
        {"/bin/false", nullptr, ""},
        {exits127, nullptr, ""},
        {dir + "/missing", nullptr, "Failed to start program: " + dir + "/missing"},
        {"missing-on-path", nullptr, "Failed to start program: missing-on-path"},
        {plainFile, nullptr, "Failed to start program: " + plainFile},
        {"/bin/true", [](std::string_view) -> int { throw std::runtime_error("no slots"); },
         "\nA runtime error occurred: no slots."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        g_seen.clear();
        MvSetCommandRunner(c.runner);
        auto calc = Make(mvcEXE_Execute_Method, {{u"ProgramName", c.program}},
                         {{u"A", u"-t", mv::Variant(5.5)}});
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), c.error);
        EXPECT_EQ(g_seen, c.error.empty() ? kOutputPass : std::vector<std::string>{});
    }
}

TEST_F(FormulaRun, TheLibraryFunctionsResultAndEachKindOfThrow) {
    const struct {
        const char* function;
        std::string value, b, error;
    } cases[] = {
        {"ReturnFortyTwo", "3:42", "0:", ""},
        {"ReturnText", "8:forty-two", "0:", ""},
        {"DoubleAIntoB", "0:", "5:42", ""},
        {"ThrowLong", "0:", "0:", "An exception 0xFF has occurred in the DLL"},
        {"ThrowDword", "0:", "0:", "An exception 0xFF has occurred in the DLL"},
        {"ThrowInt", "0:", "0:", "An Error Code 255 has occurred in the DLL"},
        {"ThrowCException", "0:", "0:", "Blend ratio out of range: " + std::string(229, '#')},
        {"ThrowLogicError", "0:", "0:", "A logic error occurred: ratio below zero"},
        {"ThrowRuntimeError", "0:", "0:", "A runtime error occurred: tank empty."},
        {"ThrowText", "0:", "0:", "Feed pump offline"},
        {"ThrowOther", "0:", "0:", "An unknown exception has occurred in the DLL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        g_seen.clear();
        auto calc = Dll(c.function);
        calc->put_Value(mv::Variant(LONG{1}));
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), c.error);
        EXPECT_EQ(Shown(Get(calc.get(), u"Value")), c.value);
        EXPECT_EQ(ValueOf(calc.get(), u"ReturnValue"), c.value);
        EXPECT_EQ(ValueOf(calc.get(), u"B"), c.b);
        EXPECT_EQ(g_seen, c.error.empty() ? kOutputPass : std::vector<std::string>{});
    }
}

TEST_F(FormulaRun, AFunctionThatIsNotThereFailsEveryRun) {
    const struct {
        const char* library;
        const char* function;
        size_t loaded;
    } cases[] = {
        {"", "ReturnFortyTwo", 0},
        {"NoSuchFormulas.dll", "ReturnFortyTwo", 0},
        {formula_test::kTestFormulas, "returnfortytwo", 1},
        {formula_test::kTestFormulas, "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.library) + " " + c.function);
        auto calc = Dll(c.function, c.library);
        for (int run = 0; run < 2; ++run) {
            calc->put_Value(mv::Variant(LONG{1}));
            EXPECT_EQ(calc->Calculate(), S_OK);
            EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
                      "Dll Function Not Found.");
            EXPECT_EQ(Shown(Get(calc.get(), u"Value")), "0:");
        }
        EXPECT_EQ(dlltest::MapSize(), c.loaded);
        CalcUnloadLibrary();
    }
}

// Found once per object and kept through ClearCache; a new library name
// forgets it.
TEST_F(FormulaRun, TheFunctionFoundStaysWithTheObject) {
    auto calc = Dll("ReturnFortyTwo");
    EXPECT_EQ(calc->Calculate(), S_OK);
    calc->ClearCache();
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
    EXPECT_EQ(Shown(Get(calc.get(), u"Value")), "3:42");
    calc->put_FunctionName(mv::Bstr(u"ThrowInt").get());
    calc->put_DllName(mv::Bstr(u"NoSuchFormulas.dll").get());
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "Dll Function Not Found.");
}

TEST_F(FormulaRun, ANewFunctionNameAloneRunsTheNewFunction) {
    auto calc = Dll("ReturnFortyTwo");
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Shown(Get(calc.get(), u"Value")), "3:42");
    calc->put_FunctionName(mv::Bstr(u"ThrowInt").get());
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
              "An Error Code 255 has occurred in the DLL");
    calc->put_FunctionName(mv::Bstr(u"ReturnFortyTwo").get());
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
    EXPECT_EQ(Shown(Get(calc.get(), u"Value")), "3:42");
}

}  // namespace
}  // namespace calculation_test
