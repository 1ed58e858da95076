// Calculations filling data sets on several threads while another thread
// replaces the rows of one of them: every run reads whole rows, and every
// call into the ADO server stays on the object-server thread.
#include <atomic>
#include <thread>

#include "data_set_run_test_support.h"

namespace keldtest {
namespace {

class DataSetThreads : public DataSetRun {};

TEST_F(DataSetThreads, FourThreadsRunWhileAFifthPutsData) {
    mv::ComPtr<IMvCalculation> calcs[4];
    mv::ComPtr<IMvParameter> values[4];
    for (int i = 0; i < 4; ++i) {
        Build(0);
        calcs[i] = calc_;
        values[i] = value_;
    }
    ASSERT_EQ(Run(), "");
    // The last calculation's data set, read by the fourth thread.
    mv::ComPtr<IMvDataSet> set = Set();
    mv::Variant rows;
    ASSERT_EQ(set->get_Data(&rows), S_OK);
    std::atomic<int> running{4}, wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int run = 0; run < 200; ++run) {
                calcs[i]->Calculate();
                mv::Variant value;
                values[i]->get_Value(&value);
                if (value.vt != VT_R8 || value.dblVal != 20.5 || !Error(calcs[i].get()).empty())
                    ++wrong;
            }
            ReleaseTlsExecutionBuffer();
            --running;
        });
    threads.emplace_back([&] {
        while (running.load() > 0)
            if (set->put_Data(rows) != S_OK) ++wrong;
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(hosted::Count(hosted::Counter::AdoQueries), 1 + 4 * 200);
    for (const hosted::Call& call : hosted::Calls())
        EXPECT_EQ(call.thread, g_pObjectServer->m_Thread.ThreadId());
}

}  // namespace
}  // namespace keldtest
