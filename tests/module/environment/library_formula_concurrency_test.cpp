// A library formula called by many threads through one cached calculation's
// reference while the formula is replaced and its library file touched with
// stale-library reload on; and a rewritten library seen by every holder of
// a reference on every thread. A deadlock fails the test through the
// watchdog.
#include <future>
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
                // A look-up right after a rewrite keeps the reference, and
                // its call fetches the reloaded formula.
                HRESULT hr = E_FAIL;
                if (GetFormula(calc.get(), "Double").formula) {
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
        // The content stays; only the time changes, once every few calls.
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

// One stale check, on the main thread, sees the rewrite: every holder then
// runs the new formula at its next call, cached or not, and the other
// thread through the reference it already held, whose library its own
// per-thread cache still keeps.
TEST_F(LibraryFormulaTest, EveryHolderOnEveryThreadRunsTheRewrittenFormula) {
    auto env = NewEnvironment();
    auto perThread = Create<IMvPDCalcEnv>(CLSID_MvPDCalcEnv);
    ASSERT_EQ(perThread->SetPDCalc(), S_OK);
    ASSERT_EQ(env->put_EnableStaleLibraryReload(VARIANT_TRUE), S_OK);
    WriteLibraryFile("Lib1", {{"Flow", "ReturnFortyTwo", {}}}, 1000000);
    for (const char* name : {"Cached", "Based"})
        WriteCalc(name, [](IMvCalculation* c) {
            mv::ComPtr<IDispatch> added;
            c->AddFormulaRef(B("Flow").get(), B("Lib1").get(), added.Put());
        });
    auto cached = Get(env.get(), "Cached");
    mv::ComPtr<IMvCalculation> based;
    ASSERT_EQ(env->GetCalcObject(B("Based").get(), B(base_.string()).get(), based.Put()), S_OK);
    auto created = NewCalculation("Created");
    ASSERT_EQ(GetFormula(created.get(), "Flow").count, 1);
    const std::pair<const char*, IMvCalculation*> holders[] = {
        {"cached", cached.get()}, {"base folder", based.get()}, {"client", created.get()}};
    for (const auto& [holder, calc] : holders)
        EXPECT_EQ(CallResult(calc, "Flow"), "3:42") << holder;

    std::promise<std::string> before, after;
    std::promise<void> checked;
    std::thread other([&] {
        auto own = NewCalculation("Other");
        GetFormula(own.get(), "Flow");
        mv::ComPtr<IDispatch> reference;
        own->GetFormulaRef(B("Flow").get(), reference.Put());
        auto call = [&] {
            mv::Variant result;
            DISPPARAMS none{};
            if (!reference || FAILED(reference->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &none,
                                                       &result, nullptr, nullptr)))
                return std::string("failed");
            return Shown(result);
        };
        before.set_value(call());
        checked.get_future().wait();
        after.set_value(call());                  // no stale check of its own
        Create<IMvPDCalcEnv>(CLSID_MvPDCalcEnv);  // its release drops this thread's cache
    });
    EXPECT_EQ(before.get_future().get(), "3:42");
    WriteLibraryFile("Lib1", {{"Flow", "ReturnText", {}}}, 2000000);
    mv::ComPtr<IDispatch> reference;
    EXPECT_EQ(cached->GetFormulaRef(B("Flow").get(), reference.Put()), S_OK);  // the check
    checked.set_value();
    std::future<std::string> otherAfter = after.get_future();
    WithinLimit(std::chrono::seconds(60), [&] { other.join(); });
    EXPECT_EQ(otherAfter.get(), "8:forty-two") << "other thread";
    for (const auto& [holder, calc] : holders)
        EXPECT_EQ(CallResult(calc, "Flow"), "8:forty-two") << holder;
}

}  // namespace
