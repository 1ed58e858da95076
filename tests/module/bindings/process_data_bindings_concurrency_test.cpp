// Four calculations on four threads read and write process data against one
// stand-in, each through its own component instance.
#include <thread>

#include "process_data_test_support.h"

namespace pdtest {
namespace {

TEST_F(ProcessDataRun, FourCalculationsRunApartOnFourThreads) {
    constexpr int kThreads = 4, kRuns = 500;
    std::vector<mv::ComPtr<IMvCalculation>> calcs(kThreads);
    std::vector<mv::ComPtr<IMvParameter>> inputs(kThreads);
    std::vector<int> wrong(kThreads);
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        const std::string tag = "T" + std::to_string(n);
        procdata::SetSample("DS1", tag, "VALUE", {1.0, mv::Variant(LONG{n}), true});
        procdata::AddPlantTag("DS2", tag);
        calcs[n] = NewRunningCalculation();
        inputs[n] = Bound(calcs[n].get(), "In", mvcInput, tag.c_str());
        Bound(calcs[n].get(), "Out", mvcOutput, tag.c_str(), "DS2", "RESULT", 2.0, 0.0);
        SetOutput(calcs[n].get(), "Out", {mv::Variant(LONG{n}), 0, 0, 2.0});
    }
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([&, n] {
            for (int i = 0; i < kRuns; ++i) {
                calcs[n]->Calculate();
                mv::Variant value;
                inputs[n]->get_Value(&value);
                mv::Bstr error;
                calcs[n]->get_ErrorText(error.Out());
                wrong[n] += value.vt != VT_I4 || value.lVal != n || error.Length() != 0;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, std::vector<int>(kThreads));
    EXPECT_EQ(procdata::Creations(), kThreads);
    const auto writes = procdata::Writes();
    ASSERT_EQ(writes.size(), static_cast<size_t>(kThreads * kRuns));
    for (const procdata::Write& w : writes)
        EXPECT_EQ(w.value.dblVal, 2.0 * std::stoi(w.tag.substr(1)));
    EXPECT_EQ(procdata::RemoveAllCalls("DS1"), 2 * kThreads * kRuns);
}

}  // namespace
}  // namespace pdtest
