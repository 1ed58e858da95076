// The script calls against a calculation double that serves real
// parameters through dispatch: what a parse lists, what a run computes and
// which texts it leaves in ErrorText.
#include <cmath>
#include <string>
#include <vector>

#include "../../support/under_valgrind.h"
#include "script_calls_test_support.h"

namespace {

using corvex_test::CorvexScriptCalls;

TEST_F(CorvexScriptCalls, ParseListsNamesOnceInOrderWithTheirKinds) {
    const std::string n599(599, 'n'), n600(600, 'n');
    struct Row {
        std::string script;
        std::string want;
    } rows[] = {
        {"ReturnValue = A * 2 + B", "ReturnValue|||2@0.0 A|||1@0.0 B|||1@0.0"},
        {"X = X + 1\n# note\n\n  \r\nY = -X ^ 2", "X|||3@0.0 Y|||2@0.0"},
        {"a = B\nb = A", "a|||3@0.0 B|||3@0.0"},
        {"R = PLANT:FI101 + fi101", "R|||2@0.0 FI101|PLANT|FI101|1@0.0"},
        {"R = fi101 + PLANT:FI101\nfI101 = 1", "R|||2@0.0 fi101|PLANT|FI101|3@0.0"},
        {"PLANT:OUT = 1e3 + .5 - 2.5E-1", "OUT|PLANT|OUT|2@0.0"},
        {"R = add(A, add(B))", "R|||2@0.0 A|||1@0.0 B|||1@0.0"},
        {"R = " + n599, "R|||2@0.0 " + n599 + "|||1@0.0"},
        {"", ""},
        {"R = ", "error: Expected an expression (line 1)"},
        {"\n = 1", "error: Expected a name (line 2)"},
        {"R 1", "error: Expected \"=\" (line 1)"},
        {"R = (A", "error: Expected \")\" (line 1)"},
        {"R = A $", "error: Unexpected \"$\" (line 1)"},
        {"R = 1e", "error: Invalid number (line 1)"},
        {"R = P:", "error: Expected a name (line 1)"},
        {"R = " + n600, "error: Name longer than 599 bytes (line 1)"},
        {"R = " + n600 + ":T", "error: Name longer than 599 bytes (line 1)"},
        {"R = 1\nR = F(A)", "error: Unknown formula \"F\" (line 2)"},
        {"R = " + std::string(1000, '('), "error: Expression nested too deeply (line 1)"},
    };
    for (const Row& r : rows) EXPECT_EQ(Parse(r.script), r.want) << r.script.substr(0, 40);
    // Each formula is asked for once, by its first spelling.
    calc_->formulasAsked.clear();
    Parse("R = Add(1) + ADD(2)");
    EXPECT_EQ(calc_->formulasAsked, std::vector<std::string>{"Add"});
}

// Valgrind runs the main thread on a stack of its own making, which the
// language's stack check must know too.
TEST_F(CorvexScriptCalls, ParsesAndRunsOnTheMainThreadUnderValgrind) {
    mv::test::PassUnderValgrind(
        "CorvexScriptCalls.ParseListsNamesOnceInOrderWithTheirKinds:"
        "CorvexScriptCalls.RunComputesValuesLevelsAndErrorTexts");
}

TEST_F(CorvexScriptCalls, ScriptedParseReplacesTheText) {
    const std::string z700(700, 'z');
    CorvexSimParameter params[] = {
        {"A", "", "", 1, 0.5}, {"B", "N1", "R1", 5, -2.0}, {z700.c_str(), "", "", 4, 0}};
    const char* formulas[] = {"F1", "F2"};
    CorvexSim_ScriptParse(params, 3, formulas, 2);
    EXPECT_EQ(Parse("this is not parsed", 1),
              "A|||1@0.5 B|N1|R1|5@-2. " + std::string(599, 'z') + "|||4@0.0");
    EXPECT_EQ(calc_->formulasAsked, (std::vector<std::string>{"F1", "F2"}));
    CorvexSimFlags flags{};
    CorvexSim_GetFlags(&flags);
    EXPECT_EQ(flags.AdHoc, 1);

    CorvexSim_ScriptParse(nullptr, -1, nullptr, 0);
    EXPECT_EQ(Parse("R = 1"), "R|||2@0.0");
}

TEST_F(CorvexScriptCalls, RunComputesValuesLevelsAndErrorTexts) {
    struct Row {
        const char* script;
        double value;  // of ReturnValue; NaN: left empty
        SHORT level, status;
        const char* error;
    } rows[] = {
        {"ReturnValue = A * 2 + B", 7, 1, -3, ""},
        {"ReturnValue = 2 ^ 3 ^ 2", 512, -1, -2, ""},
        {"ReturnValue = -2 ^ 2 + (1 + 2) * 3 - 4 / 2", 3, -1, -2, ""},
        {"ReturnValue = PLANT:A - C", 3, 2, -6, ""},
        {"ReturnValue = Add(A, 2, B)", 6, 1, -3, ""},
        {"ReturnValue = A\nX = A / (B - 1)", 3, 0, -1, "Division by zero (line 2)"},
        {"ReturnValue = Missing + 1", NAN, 0, 0, "Unknown name \"Missing\" (line 1)"},
        {"ReturnValue = P:Missing", NAN, 0, 0, "Unknown name \"P:Missing\" (line 1)"},
        {"Nobody = 1", NAN, 0, 0, "Unknown name \"Nobody\" (line 1)"},
        {"ReturnValue = S", NAN, 0, 0, "\"S\" is not a number (line 1)"},
        {"ReturnValue = E", NAN, 0, 0, "\"E\" is not a number (line 1)"},
        {"ReturnValue = Add(-1)", NAN, 0, 0, "Formula \"Add\" failed: negative argument (line 1)"},
        {"ReturnValue = Nope(1)", NAN, 0, 0, "Unknown formula \"Nope\" (line 1)"},
        {"ReturnValue = 10 ^ 400", NAN, 0, 0, "Result is not a finite number (line 1)"},
        {"ReturnValue = (", NAN, 0, 0, "Expected an expression (line 1)"},
    };
    for (const Row& r : rows) {
        calc_->parameters.clear();
        calc_->errorText.clear();
        calc_->Add("A", mv::Variant(3.0), 0);
        calc_->Add("B", mv::Variant(std::u16string_view(u"1")), 1);
        calc_->Add("C", mv::Variant(LONG{0}), 2);
        calc_->Add("S", mv::Variant(u"abc"), 0);
        calc_->Add("E", mv::Variant(), 0);
        calc_->Add("X", mv::Variant(), 0);
        calc_->Add("ReturnValue", mv::Variant(), 0);
        EXPECT_EQ(execute_(calc_->AsCalculation(), 0, r.script, 0, 0), 0);
        EXPECT_EQ(calc_->errorText, r.error) << r.script;
        IMvParameter* rv = calc_->parameters["returnvalue"].get();
        mv::Variant v;
        SHORT level = 0, status = 0;
        rv->get_Value(&v);
        rv->get_Level(&level);
        rv->get_Status(&status);
        if (std::isnan(r.value)) {
            EXPECT_EQ(v.vt, VT_EMPTY) << r.script;
            continue;
        }
        ASSERT_EQ(v.vt, VT_R8) << r.script;
        EXPECT_EQ(v.dblVal, r.value) << r.script;
        EXPECT_EQ(level, r.level) << r.script;
        EXPECT_EQ(status, r.status) << r.script;
    }
}

TEST_F(CorvexScriptCalls, RecordsFlagsAndTakesInjectedFailures) {
    calc_->Add("ReturnValue", mv::Variant(), 0);
    EXPECT_EQ(execute_(calc_->AsCalculation(), 1, "ReturnValue = 1", 1, 5), 0);
    CorvexSimFlags flags{};
    CorvexSim_GetFlags(&flags);
    EXPECT_EQ(flags.HasDravik, 1);
    EXPECT_EQ(flags.OnDemand, 1);
    EXPECT_EQ(flags.SandBox, 5);
    EXPECT_EQ(flags.AdHoc, -1);  // no parse yet

    CorvexSim_FailCall("execute_corvex_exx", CORVEXSIM_THROW, 0, "boom", 1);
    EXPECT_THROW(execute_(calc_->AsCalculation(), 0, "ReturnValue = 2", 0, 0), std::runtime_error);
    CorvexSim_FailCall("execute_corvex_exx", CORVEXSIM_ERRORTEXT, 0, "Script failed", 1);
    execute_(calc_->AsCalculation(), 0, "ReturnValue = 3", 0, 0);
    EXPECT_EQ(calc_->errorText, "Script failed");
    mv::Variant v;
    calc_->parameters["returnvalue"]->get_Value(&v);
    EXPECT_EQ(v.dblVal, 1.0);  // neither failing run wrote
    EXPECT_EQ(CorvexSim_CallCount("execute_corvex_exx"), 3);

    CorvexSim_FailCall("parse_simple_calc3", CORVEXSIM_ERRORTEXT, 0, "Parse refused", 1);
    EXPECT_EQ(Parse("R = 1"), "error: Parse refused");
    CorvexSim_FailCall("parse_simple_calc3", CORVEXSIM_THROW, 0, "boom", 1);
    void* handle = nullptr;
    EXPECT_THROW(parse_(calc_->AsCalculation(), "R = 1", &handle, 0), std::runtime_error);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(parse_(nullptr, "R = 1", &handle, 0), 2);
    EXPECT_EQ(free_(nullptr), 0);
}

}  // namespace
