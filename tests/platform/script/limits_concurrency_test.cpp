// The engine's limits, each on a thread of its own: the statement budget
// stops loops whatever their bodies (under a watchdog, so that a loop it
// does not stop fails the test instead of hanging it), and recursion stops
// with "Out of stack space" on a thread with a small stack instead of
// overflowing it.
#include <gtest/gtest.h>

#include "../../support/bounded_run.h"
#include "script_test_support.h"

namespace {

class ScriptLimits : public ScriptItemsTest {
protected:
    void TearDown() override { mv::script::SetStatementBudgetForTesting(0); }
};

TEST_F(ScriptLimits, TheStatementBudgetStopsLoopsWithEmptyBodies) {
    const char* scripts[] = {
        "x = 1\nDo\nLoop",
        "x = 1\nDo While True\nLoop",
        "x = 1\nDo\nLoop Until False",
        "x = 1\nWhile True\nWend",
        "x = 1\nFor i = 1 To 2000000000\nNext",
        "ReDim a(100000)\nFor Each v In a\nNext",
    };
    mv::script::SetStatementBudgetForTesting(1000);
    mv::test::WithinLimit(std::chrono::seconds(60), [&] {
        for (const char* script : scripts) {
            SCOPED_TRACE(script);
            site_.errors.clear();
            EXPECT_EQ(RunScript(script, site_), S_OK);
            ASSERT_EQ(site_.errors.size(), 1u);
            EXPECT_EQ(site_.errors[0].scode, E_ABORT);
            EXPECT_EQ(site_.errors[0].description, "Script stopped: statement budget exhausted");
            EXPECT_EQ(site_.errors[0].line, 1u);
        }
    });
}

// Recursion through calls, through parentheses and through a member that
// runs the engine again, and nesting in the text, on a thread whose whole
// stack is 64 KB: each is error 28 or runs, and a shallow script still runs.
TEST_F(ScriptLimits, RecursionOnASmallStackRunsOutOfStackSpaceInsteadOfOverflowing) {
    const std::string parens = "x = " + std::string(99, '(') + "1" + std::string(99, ')');
    std::string chain = "R = x";
    for (int i = 0; i < 499; ++i) chain += " + x";
    struct Row {
        std::string script;
        bool mayRun;  // it may also run to its end
    };
    const Row rows[] = {
        {"Function F(n) : F = F(n + 1) : End Function : R = F(1)", false},
        {"Function F(n) : F = (((((F(n + 1)))))) : End Function : R = F(1)", false},
        {"Function F(n) : F = 1 + (2 * (3 - F(n + 1))) : End Function : R = F(1)", false},
        {"Sub S(n) : Dim a(1) : a(0) = n : S a(0) + 1 : End Sub : S 1", false},
        {"O.Call", false},  // a formula that runs itself
        {parens, true},
        {chain, true},
        {"Function G(x)\n" + chain + "\nEnd Function\nG 1", true},
        {"x = " + std::string(99, '-') + "1", true},
    };
    o_->onCall = [this] { RunScript("O.Call", site_); };
    mv::test::OnThreadWithStack(64 * 1024, [&] {
        EXPECT_EQ(RunScript("Function F(n)\nIf n > 0 Then F = F(n - 1) + 1 Else F = 0\n"
                            "End Function\nR = F(2)",
                            site_),
                  S_OK);
        EXPECT_TRUE(site_.errors.empty());
        EXPECT_EQ(mv::test::Spec(r_->value), "I2:2");
        for (const Row& row : rows) {
            SCOPED_TRACE(row.script.substr(0, 60));
            site_.errors.clear();
            RunScript(row.script.c_str(), site_);
            if (row.mayRun && site_.errors.empty()) continue;
            ASSERT_EQ(site_.errors.size(), 1u);
            EXPECT_EQ(site_.errors[0].scode, mv::script::ErrorScode(28));
            EXPECT_EQ(site_.errors[0].description, "Out of stack space");
        }
    });
    o_->onCall = nullptr;
}

}  // namespace
