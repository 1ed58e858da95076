// The selected server is kept per thread: threads that select and then call
// never see each other's server.
#include <atomic>
#include <thread>
#include <vector>

#include "fixture.h"

namespace {

TEST(HistorianSelection, ThreadsKeepTheirOwnServer) {
    KhSim_Reset();
    const char* nodes[] = {"NODE1", "NODE2", "NODE3", "NODE4"};
    std::vector<SHORT> index;
    for (int i = 0; i < 4; ++i) {
        ASSERT_GT(KhSim_AddServer(nodes[i], 12, 0, 0), 0);
        LONG rec = KhSim_AddRecord(nodes[i], "TAG", 0);
        ASSERT_EQ(KhSim_AddField(nodes[i], rec, "PV", 0x20000, -12, 0), 1);
        KhSimValue v = kh_test::number(i);
        ASSERT_EQ(KhSim_SetValue(nodes[i], rec, 0x20000, &v), 1);
        KeldrinErrorBlock err{};
        index.push_back(static_cast<SHORT>(DaAddServer(nodes[i], &err)));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 300; ++n) {
                KeldrinErrorBlock err{};
                DaSetDefaultServer(index[i], &err);
                LONG id = 0;
                DECODNAM("TAG", 3, &id, &err);
                KeldrinRecField pair{id, 0x20000};
                SHORT type = -6;
                double value = -1;
                if (MRDBVALS(1, &pair, &type, &value, nullptr, &err) != KELDRIN_OK || value != i)
                    ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    KhSim_Reset();
}

}  // namespace
