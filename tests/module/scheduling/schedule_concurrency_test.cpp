// One group driven from several threads while its members change, a
// reference is renamed and environment objects empty the cache: every loop
// ends, and nothing is used after it is freed.
#include <atomic>
#include <thread>
#include <vector>

#include "../environment/environment_test_support.h"
#include "interfaces/IMvScheduleGroup.h"

namespace {

using namespace envtest;

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

}  // namespace
