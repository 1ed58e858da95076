// Threads running one automation-object formula while another clears the
// calculation's cache: each run keeps its object alive, and every object is
// released in the end.
#include <atomic>

#include "ole_formula_test_support.h"

namespace calculation_test {
namespace {

TEST_F(OleFormula, RunsSurviveACacheClearingStormAndReleaseEveryObject) {
    Standard();
    autoserver::DeclareMethod(u"Compute", [](autoserver::Instance&, DISPPARAMS& p, VARIANT*) {
        *p.rgvarg[1].pdblVal = p.rgvarg[2].dblVal;
        return S_OK;
    });
    std::atomic<bool> running{true};
    std::thread clearer([&] {
        while (running) EXPECT_EQ(calc_->ClearCache(), S_OK);
    });
    std::vector<std::thread> runners;
    for (int t = 0; t < 4; ++t)
        runners.emplace_back([&] {
            for (int run = 0; run < 1000; ++run) Impl().ExecuteFormula();
        });
    for (std::thread& runner : runners) runner.join();
    running = false;
    clearer.join();
    EXPECT_EQ(TextOf(calc_.get(), &IMvCalculation::get_ErrorText), "");
    ExpectSame(Value(u"B"), Typed(VT_I4, 2));
    EXPECT_GE(autoserver::Creations(), 4);
    EXPECT_EQ(calc_->ClearCache(), S_OK);
    EXPECT_TRUE(autoserver::LiveInstances().empty());
}

}  // namespace
}  // namespace calculation_test
