// A library formula called by many threads through one cached calculation's
// reference while the formula is replaced and its library file touched with
// stale-library reload on. A deadlock fails the test through the watchdog.
#include <thread>

#include "library_formula_test_support.h"

namespace {

using namespace envtest;

TEST_F(LibraryFormulaTest, EightCallersKeepTheirOwnResultsWhileTheFormulaIsReplacedAndReloaded) {
    WriteLibraryFile("Lib1", {{"Double", "DoubleAIntoB", {{"A", mvcInput}, {"B", mvcOutput}}}});
    WriteCalc("Caller");
    auto env = NewEnvironment();
    ASSERT_EQ(env->put_EnableStaleLibraryReload(VARIANT_TRUE), S_OK);
    auto calc = Get(env.get(), "Caller");
    ASSERT_TRUE(calc);

    constexpr int kRounds = 40;
    std::atomic<int> failures{0}, mismatches{0}, callers{8}, calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const LONG input = t * 1000 + round;
                mv::Variant output;
                HRESULT hr = E_FAIL;
                // A look-up right after a rewrite drops the reference and
                // fails: GetFormula then builds it again.
                for (int attempt = 0; attempt < 20 && hr == E_FAIL; ++attempt) {
                    if (!GetFormula(calc.get(), "Double").formula) continue;
                    VARIANT byReference{};
                    byReference.vt = VT_BYREF | VT_VARIANT;
                    byReference.pvarVal = &output;
                    hr = Call(calc.get(), "Double", {mv::Variant(input), byReference});
                }
                if (FAILED(hr))
                    ++failures;
                else if (output.vt != VT_R8 || output.dblVal != 2.0 * input)
                    ++mismatches;
                ++calls;
            }
            --callers;
        });
    threads.emplace_back([&] {
        while (callers > 0) env->ReplaceFormula(B("Lib1").get(), B("Double").get());
    });
    threads.emplace_back([&] {
        // The content stays; only the time changes, once every few calls,
        // so that a caller's next attempt can find the file unchanged.
        for (int i = 1, seen = 0; callers > 0; std::this_thread::yield()) {
            if (calls < seen + 4) continue;
            seen = calls;
            SetLibraryTime("Lib1.mvc", 1000000 + i++);
        }
    });
    WithinLimit(std::chrono::seconds(240), [&] {
        for (auto& thread : threads) thread.join();
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(mismatches, 0);

    // Every copy went back: the library's formula is handed out itself.
    mv::ComPtr<IMvCalculation> formula, copy;
    ASSERT_EQ(env->GetFormulaObject(B("Lib1").get(), B("Double").get(), formula.Put()), S_OK);
    ASSERT_EQ(formula->AllocateCopy(copy.Put(), 0), S_OK);
    EXPECT_EQ(copy, formula);
    copy->DeallocateCopy();
}

}  // namespace
