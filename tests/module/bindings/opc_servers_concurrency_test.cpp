// Threads sharing one OPC connection while reads through it keep failing:
// each failure drops the server and the next use connects again, and no
// thread uses a server after the last share of it went.
#include <set>
#include <thread>

#include "opc_test_support.h"
#include "sources/opc_servers.h"

namespace {

using opctest::kRemote;

class OpcServersConcurrencyTest : public opctest::OpcFixture {};

TEST_F(OpcServersConcurrencyTest, ThreadsShareReconnectAndNeverUseADroppedServer) {
    opcsim::SetItem(kRemote, "A", mv::Variant(1.0), OPC_QUALITY_GOOD, opctest::Stamp(1));
    opcsim::SetItem(kRemote, "B", mv::Variant(2.0), OPC_QUALITY_GOOD, opctest::Stamp(2));
    opcsim::SetReadFailureEvery(kRemote, 7, E_ABORT);
    AddSource("OPC2", kRemote);
    OPCServers registry;
    constexpr int kThreads = 8;
    constexpr int kRuns = 500;
    std::mutex m;
    std::set<std::shared_ptr<COPCDAServer>> failed;  // kept alive: each counts once
    int failures = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRuns; ++i) {
                std::string text;
                auto server = registry.GetOrCreateOpcServer("OPC2", text);
                ASSERT_TRUE(server) << text;
                std::vector<mv::Variant> values;
                std::vector<WORD> qualities;
                std::vector<FILETIME> stamps;
                if (SUCCEEDED(server->ReadOpcItems({"A", "B"}, values, qualities, stamps, text))) {
                    ASSERT_EQ(values.size(), 2u);
                    EXPECT_EQ(values[1].dblVal, 2.0);
                    continue;
                }
                EXPECT_EQ(text, "Failed to read from OPC server: Operation aborted\r\n");
                registry.RemoveServer("OPC2", server);
                std::lock_guard lock(m);
                failed.insert(server);
                ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    opcsim::Counters n = opcsim::Count(kRemote);
    EXPECT_EQ(n.reads, kThreads * kRuns);
    EXPECT_EQ(failures, n.reads / 7);
    EXPECT_LE(n.creations, static_cast<int>(failed.size()) + 1);
    EXPECT_EQ(opctest::g_pauses, n.creations);
    failed.clear();
    EXPECT_EQ(opcsim::Count(kRemote).liveServers, registry.Find("OPC2") ? 1 : 0);
}

}  // namespace
