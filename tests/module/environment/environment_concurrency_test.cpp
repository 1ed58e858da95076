// The caches under many threads: runs of cached calculations while formulas
// are replaced, environment objects come and go, libraries are rewritten
// with reload on and the unit collection is replaced. A deadlock fails the
// test through the watchdog instead of hanging it.
#include <thread>

#include "environment_test_support.h"

namespace {

using namespace envtest;

TEST_F(EnvironmentTest, EightFirstTemporaryLibraryCallsAtOnceGetOneLibrary) {
    auto env = NewEnvironment();
    const int before = Libraries().created;
    std::vector<mv::ComPtr<IMvFormulaLibrary>> got(8);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (auto& slot : got)
        threads.emplace_back([&] {
            ++ready;
            while (ready < 8) std::this_thread::yield();
            EXPECT_EQ(env->CreateTemporaryLibrary(slot.Put()), S_OK);
        });
    WithinLimit(std::chrono::seconds(60), [&] {
        for (auto& t : threads) t.join();
    });
    EXPECT_LE(Libraries().created - before, 1) << "created once per process";
    for (auto& library : got) EXPECT_EQ(library, got[0]);
    EXPECT_EQ(Library(env.get(), ""), got[0]) << "the empty name is the temporary library";
}

TEST_F(EnvironmentTest, RunsOfCachedCalculationsSurviveReplacementsReleasesAndReloads) {
    for (const char* name : {"C0", "C1", "C2"}) WriteCalc(name);
    WriteLibrary("Lib1.mvc");
    auto env = NewEnvironment();
    env->put_EnableStaleLibraryReload(VARIANT_TRUE);
    constexpr int kRounds = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            const std::string name = "C" + std::to_string(t % 3);
            for (int i = 0; i < kRounds; ++i) {
                mv::ComPtr<IMvCalculation> calc;
                if (FAILED(env->GetCalcObject(B(name).get(), nullptr, calc.Put()))) ++failures;
                if (calc && FAILED(calc->Calculate())) ++failures;
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) env->ReplaceFormula(B("Lib1").get(), B("F").get());
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) NewEnvironment();  // created and released at once
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            SetLibraryTime("Lib1.mvc", 1000000 + i);
            CMvCalcEnvironment::ReloadLibrary(B("Lib1").get());
            Library(env.get(), "Lib1");
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i)
            env->SetUnitConvColl(i % 2 ? nullptr
                                       : Create<IMvObjCollection>(CLSID_MvObjCollection).get());
    });
    WithinLimit(std::chrono::seconds(120), [&] {
        for (auto& t : threads) t.join();
    });
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(Get(env.get(), "C0"));
}

}  // namespace
