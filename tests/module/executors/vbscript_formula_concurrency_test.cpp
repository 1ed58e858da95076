// VBScript calculations run on eight threads at once, each its own
// calculation and engine: every run sees its own inputs and its own errors,
// whether the threads run one text or each its own, and while the texts,
// the parameters and the cache change between runs. Runs of one calculation
// on several threads share what the runs keep, while another thread clears
// it.
#include <stdlib.h>

#include <atomic>
#include <thread>

#include "../../support/bounded_run.h"
#include "script.h"
#include "vbscript_test_support.h"

namespace vbscript_test {
namespace {

TEST(VBScriptFormulaConcurrency, EightThreadsRunTheirOwnScriptsAndGetTheirOwnResults) {
    AllocateTlsSlots();
    // With TZ unset the C library rebuilds its time zone at every reading of
    // the local time (each run's clock), under a lock ThreadSanitizer does
    // not see.
    setenv("TZ", "UTC", 1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (LONG n = 1; n <= 8; ++n) {
        threads.emplace_back([&, n] {
            auto calc = ScriptCalculation("");
            mv::ComPtr<IMvParameter> a;
            calc->GetParameter(mv::Bstr(u"A").get(), a.Put());
            for (LONG i = 0; i < 300; ++i) {
                const bool fails = i % 5 == 4;
                const std::string script =
                    fails ? "x = A\n" + std::string(n, ' ') + "ReturnValue = x / 0"
                          : "ReturnValue = A * " + std::to_string(n) + " + B";
                calc->put_ScriptText(mv::Bstr(script).get());
                a->put_Value(mv::Variant(i));
                calc->Calculate();
                const bool right = fails ? ValueOf(calc.get()).empty() &&
                                               ErrorOf(calc.get()) == "Division by zero line 2" &&
                                               PositionOf(calc.get()) == n
                                         : ValueOf(calc.get()) == std::to_string(i * n + 4) &&
                                               ErrorOf(calc.get()).empty();
                if (!right) ++wrong;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    FreeTlsSlots();
}

// A calculation made by class, as a client makes it, with the inputs A and
// B and the ReturnValue.
mv::ComPtr<IMvCalculation> CalculationByClass() {
    mv::ComPtr<IMvCalculation> calc;
    EXPECT_EQ(CoCreateInstance(CLSID_MvCalculation, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IMvCalculation, calc.PutVoid()),
              S_OK);
    if (!calc) return calc;
    calc->put_FormulaType(mvcVBS_Script_Method);
    for (const char16_t* name : {u"A", u"B"}) {
        auto input = Parameter(calc.get(), name);
        input->put_ParameterType(mvcInput), input->put_BindingType(mvcConstant);
    }
    Parameter(calc.get(), u"ReturnValue");
    return calc;
}

// Even threads run one text, odd threads texts of their own; every fifth
// run takes a text made for that run, every seventh clears the cache and
// every eleventh files a new B in the place of the old one.
TEST(VBScriptFormulaConcurrency, EightThreadsRunOneTextAndTheirOwnWhileTheyChange) {
    AllocateTlsSlots();
    setenv("TZ", "UTC", 1);
    calculation_test::ServedClasses served;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (LONG n = 1; n <= 8; ++n) {
        threads.emplace_back([&, n] {
            auto calc = CalculationByClass();
            if (!calc) {
                ++wrong;
                return;
            }
            mv::ComPtr<IMvObjCollection> parameters;
            calc->get_Parameters(parameters.Put());
            LONG b = n;
            Parameter(calc.get(), u"B")->put_Value(mv::Variant(b));
            const std::string own =
                n % 2 ? "ReturnValue = A * B + " + std::to_string(n) : "ReturnValue = A * B + 100";
            for (LONG i = 0; i < 200; ++i) {
                const bool fresh = i % 5 == 4;
                const LONG add = fresh ? 1000 + i : n % 2 ? n : 100;
                calc->put_ScriptText(
                    mv::Bstr(fresh ? "ReturnValue = A * B + " + std::to_string(add) : own).get());
                if (i % 7 == 6) calc->ClearCache();
                if (i % 11 == 10) {
                    parameters->Remove(mv::Bstr(u"B").get());
                    auto fileB = Parameter(calc.get(), u"B");
                    fileB->put_ParameterType(mvcInput), fileB->put_BindingType(mvcConstant);
                    fileB->put_Value(mv::Variant(++b));
                }
                Parameter(calc.get(), u"A")->put_Value(mv::Variant(i));
                calc->Calculate();
                if (ValueOf(calc.get()) != std::to_string(i * b + add) ||
                    !ErrorOf(calc.get()).empty())
                    ++wrong;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    FreeTlsSlots();
}

// The formula of one calculation run on four threads at once (as copies of a
// library formula run it), while a fifth clears the cache.
TEST(VBScriptFormulaConcurrency, RunsOfOneCalculationShareWhatRunsKeepWhileItIsCleared) {
    AllocateTlsSlots();
    setenv("TZ", "UTC", 1);
    auto calc = ScriptCalculation("C = A * B");
    std::atomic<bool> running{true};
    std::thread clearer([&] {
        while (running) calc->ClearCache();
    });
    std::vector<std::thread> runners;
    for (int t = 0; t < 4; ++t)
        runners.emplace_back([&] {
            for (int run = 0; run < 300; ++run) calc->ExecuteFormula();
        });
    for (std::thread& runner : runners) runner.join();
    running = false;
    clearer.join();
    EXPECT_EQ(ErrorOf(calc.get()), "");
    EXPECT_EQ(ValueOf(calc.get(), u"C"), "12");
    FreeTlsSlots();
}

// Runs of one calculation at once, with nothing clearing in between: each
// run has the kept state to itself or works on its own.
TEST(VBScriptFormulaConcurrency, RunsOfOneCalculationAtOnceNeverShareTheKeptStateInARun) {
    AllocateTlsSlots();
    setenv("TZ", "UTC", 1);
    for (const char* script : {"C = A * B", "C = A * B\nx = 1 / 0"}) {
        SCOPED_TRACE(script);
        auto calc = ScriptCalculation(script);
        std::vector<std::thread> runners;
        for (int t = 0; t < 4; ++t)
            runners.emplace_back([&] {
                for (int run = 0; run < 300; ++run) calc->ExecuteFormula();
            });
        for (std::thread& runner : runners) runner.join();
        EXPECT_EQ(ValueOf(calc.get(), u"C"), "12");
    }
    FreeTlsSlots();
}

// A run on a thread whose whole stack is 128 KB or 256 KB, entered at
// several depths: recursion, alone, inside parentheses or inside nested
// loops, stops with "Out of stack space" instead of overflowing the stack;
// recursion to a depth the stack holds runs.
TEST(VBScriptFormulaConcurrency, RecursionOnASmallThreadStackIsOutOfStackSpace) {
    AllocateTlsSlots();
    setenv("TZ", "UTC", 1);
    // A function that calls itself inside `depth` nested loops.
    auto inLoops = [](int depth) {
        std::string script = "Function F(n)\n";
        for (int i = 0; i < depth; ++i) script += "For i" + std::to_string(i) + " = 1 To 1\n";
        script += "F = F(n + 1)\n";
        for (int i = 0; i < depth; ++i) script += "Next\n";
        return script + "End Function\nReturnValue = F(A)";
    };
    const struct {
        std::string script;
        const char* value;     // also accepted: "Out of stack space line 2"
        bool anyLine = false;  // the error is raised by whichever statement finds the stack low
    } rows[] = {
        {"Function F(n)\nF = F(n + 1)\nEnd Function\nReturnValue = F(A)", nullptr},
        {"Function F(n)\nF = (((((F(n + 1)))))) * 2\nEnd Function\nReturnValue = F(A)", nullptr},
        {"Function F(n)\nIf n < 190 Then F = (((((F(n + 1)))))) Else F = n\nEnd Function\n"
         "ReturnValue = F(A)",
         "190"},
        {inLoops(54), nullptr, true},
        {inLoops(75), nullptr, true},
        {inLoops(97), nullptr, true},
    };
    mv::test::OnThreadsAtSeveralDepths({128 * 1024, 256 * 1024}, [&] {
        mv::script::ClearProgramCacheForTesting();  // each text parsed here
        for (const auto& row : rows) {
            SCOPED_TRACE(row.script.substr(0, 40));
            auto calc = ScriptCalculation(row.script);
            calc->Calculate();
            if (row.value && ErrorOf(calc.get()).empty()) {
                EXPECT_EQ(ValueOf(calc.get()), row.value);
                continue;
            }
            const std::string error = ErrorOf(calc.get());
            if (row.anyLine)
                EXPECT_EQ(error.rfind("Out of stack space line ", 0), 0u) << error;
            else
                EXPECT_EQ(error, "Out of stack space line 2");
            EXPECT_EQ(ValueOf(calc.get()), "");
        }
        auto sound = ScriptCalculation("ReturnValue = A * B");
        sound->Calculate();
        EXPECT_EQ(ErrorOf(sound.get()), "");
        EXPECT_EQ(ValueOf(sound.get()), "12");
    });
    FreeTlsSlots();
}

}  // namespace
}  // namespace vbscript_test
