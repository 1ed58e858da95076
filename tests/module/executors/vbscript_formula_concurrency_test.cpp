// VBScript calculations run on eight threads at once, each its own
// calculation and engine: every run sees its own inputs and its own errors.
#include <stdlib.h>

#include <atomic>
#include <thread>

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

}  // namespace
}  // namespace vbscript_test
