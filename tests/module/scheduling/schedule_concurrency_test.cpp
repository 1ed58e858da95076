// One group driven from several threads while its members change, a
// reference is renamed, members are put on schedule and environment objects
// empty the cache: every loop ends, nothing is used after it is freed, and a
// pass runs each member that stays filed exactly once.
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "../environment/environment_test_support.h"
#include "calculation/calculation.h"
#include "interfaces/IMvScheduleGroup.h"

namespace {

using namespace envtest;

// Runs of the DLL-kind formula, by the first letter of the calculation's name.
std::array<std::atomic<int>, 26> g_runs{};

void CountRun(CMvCalculation& calc, const ParamInfoTable&) {
    mv::Bstr name;
    calc.get_Name(name.Out());
    const std::string text = name.Utf8();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') ++g_runs[text[0] - 'A'];
}

int Runs(char name) {
    return g_runs[name - 'A'].load();
}

class ScheduleConcurrencyTest : public EnvironmentTest {
protected:
    void SetUp() override {
        EnvironmentTest::SetUp();
        Serve(CLSID_MvScheduleGroup);
        Serve(CLSID_MvCalculationRef);
    }
};

TEST_F(ScheduleConcurrencyTest, RunsMemberChangesRenamesAndCacheClearingsInterleave) {
    for (const char* name : {"A", "B", "C", "D"}) WriteCalc(name);
    auto group = Create<IMvScheduleGroup>(CLSID_MvScheduleGroup);
    mv::ComPtr<IMvCalculationRef> renamed;
    ASSERT_EQ(group->AddCalculation(B("A").get(), renamed.Put()), S_OK);
    for (const char* name : {"B", "C"}) {
        mv::ComPtr<IMvCalculationRef> ref;
        ASSERT_EQ(group->AddCalculation(B(name).get(), ref.Put()), S_OK);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            while (!stop) {
                EXPECT_EQ(group->Calculate(), S_OK);
                EXPECT_EQ(group->CheckStoreForward(VARIANT_FALSE, VARIANT_FALSE), S_OK);
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i) {
            group->RemoveCalculation(B("B").get());
            mv::ComPtr<IMvCalculationRef> ref;
            group->AddCalculation(B("B").get(), ref.Put());
            VARIANT contents;
            VariantInit(&contents);
            group->ListContents(&contents);
            VariantClear(&contents);
            EXPECT_EQ(group->SetOnSchedule(), S_OK);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 40; ++i) renamed->put_Name(B(i % 2 ? "D" : "A").get());
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) NewEnvironment();
    });
    for (size_t i = 4; i < threads.size(); ++i) threads[i].join();
    stop = true;
    for (size_t i = 0; i < 4; ++i) threads[i].join();
    EXPECT_EQ(group->Calculate(), S_OK);
}

TEST_F(ScheduleConcurrencyTest, EachMemberRunsOncePerPassWhileTheGroupChanges) {
    for (auto& runs : g_runs) runs = 0;
    // An environment's final release forgets the calculations that earlier
    // tests left in the active-calculation cache under these names.
    NewEnvironment();
    MvSetFormulaExecutor(mvcDLL_Execute_Method, &CountRun);
    for (const char* name : {"A", "B", "C", "D", "E"})
        WriteCalc(name, [](IMvCalculation* calc) { calc->put_FormulaType(mvcDLL_Execute_Method); });
    auto group = Create<IMvScheduleGroup>(CLSID_MvScheduleGroup);
    mv::ComPtr<IMvCalculationRef> renamed;
    ASSERT_EQ(group->AddCalculation(B("A").get(), renamed.Put()), S_OK);
    for (const char* name : {"B", "C", "E"}) {
        mv::ComPtr<IMvCalculationRef> ref;
        ASSERT_EQ(group->AddCalculation(B(name).get(), ref.Put()), S_OK);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> changers;
    changers.emplace_back([&] {
        while (!stop) {
            group->RemoveCalculation(B("B").get());
            mv::ComPtr<IMvCalculationRef> ref;
            group->AddCalculation(B("B").get(), ref.Put());
        }
    });
    changers.emplace_back([&] {
        for (int i = 0; !stop; ++i) renamed->put_Name(B(i % 2 ? "D" : "A").get());
    });
    changers.emplace_back([&] {
        while (!stop) {
            EXPECT_EQ(group->SetOnSchedule(), S_OK);
            group->put_ScheduleRate(1.0 / 24);
            group->put_FirstRunTime(45366.0);
        }
    });
    changers.emplace_back([&] {
        while (!stop) NewEnvironment();
    });
    // The passes run on this thread alone, so each count moves only by them.
    for (int pass = 0; pass < 60; ++pass) {
        const int c = Runs('C'), e = Runs('E'), b = Runs('B'), ad = Runs('A') + Runs('D');
        ASSERT_EQ(group->Calculate(), S_OK);
        EXPECT_EQ(Runs('C') - c, 1) << "pass " << pass;
        EXPECT_EQ(Runs('E') - e, 1) << "pass " << pass;
        EXPECT_LE(Runs('B') - b, 1) << "pass " << pass;
        EXPECT_LE(Runs('A') + Runs('D') - ad, 1) << "pass " << pass;
    }
    stop = true;
    for (std::thread& thread : changers) thread.join();
    MvSetFormulaExecutor(mvcDLL_Execute_Method, nullptr);
}

}  // namespace
