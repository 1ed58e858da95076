// Historian bindings on several threads: each thread's server selection is
// its own, and a cache clearing beside a run leaves the run its table.
#include <thread>

#include "keldrin_bindings_test_support.h"

namespace keldtest {
namespace {

class KeldrinThreads : public KeldrinWorld {};

TEST_F(KeldrinThreads, EachThreadReadsItsOwnServerWhileAThirdClearsTheCache) {
    const char* nodes[2] = {"NODEA", "NODEB"};
    mv::ComPtr<IMvCalculation> calcs[2];
    mv::ComPtr<IMvParameter> inputs[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_GT(KhSim_AddServer(nodes[i], 11, 3, 0), 0);
        KhSimValue v = Seeded(100.0 + i);
        Field(nodes[i], "R", "F", 0x10000, -6, &v);
        calcs[i] = Calc();
        inputs[i] = Historian(calcs[i].get(), "In", mvcInput, nodes[i], "R", "F");
    }
    std::atomic<int> running{2};
    std::atomic<int> wrong{0};
    auto reader = [&](int i) {
        for (int run = 0; run < 1000; ++run) {
            calcs[i]->Calculate();
            mv::Variant value;
            inputs[i]->get_Value(&value);
            if (value.vt != VT_R8 || value.dblVal != 100.0 + i || !Error(calcs[i].get()).empty())
                ++wrong;
        }
        ReleaseTlsExecutionBuffer();
        --running;
    };
    std::thread a(reader, 0), b(reader, 1);
    std::thread clearer([&] {
        while (running.load() > 0) calcs[0]->ClearCache();
    });
    a.join();
    b.join();
    clearer.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "MRDBVALS"), 2000);
}

}  // namespace
}  // namespace keldtest
